#include "format.h"

#include <cstdio>

namespace iec104_client {

using namespace iec104;

std::string format_time(const Cp56Time2a& t) {
    char b[40];
    std::snprintf(b, sizeof b, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", 2000 + cp56_year(t), cp56_month(t),
                  cp56_day_of_month(t), cp56_hour(t), cp56_minute(t), cp56_second(t), cp56_millisecond(t));
    std::string s = b;
    if (cp56_invalid(t)) s += "(IV)";
    return s;
}

namespace {

std::string value_text(const TypeInfo& info, const InformationObject& o) {
    char b[32];
    switch (info.element) {
    case Element::nva_qds:
    case Element::nva_qos: std::snprintf(b, sizeof b, "%.6g", double(normalized_to_float(int16_t(o.value)))); break;
    case Element::float_qds:
    case Element::float_qos: std::snprintf(b, sizeof b, "%.7g", double(o.real)); break;
    case Element::none: return "-";
    default: std::snprintf(b, sizeof b, "%d", int(o.value)); break;
    }
    return b;
}

// The quality descriptor, or the command's qualifier octet without its state bits.
unsigned quality_octet(const TypeInfo& info, const InformationObject& o) {
    switch (info.element) {
    case Element::sco:
    case Element::dco: return unsigned(o.qualifier) << 2 | (o.select ? 0x80u : 0u);
    case Element::nva_qos:
    case Element::sva_qos:
    case Element::float_qos: return o.qualifier | (o.select ? 0x80u : 0u);
    default: return o.quality;
    }
}

}  // namespace

std::vector<std::string> format_asdu(const Asdu& a, const AppLayerParameters& p) {
    const TypeInfo* info = type_info(a.type);
    char head[96];
    if (info)
        std::snprintf(head, sizeof head, "%s cot=%d neg=%d test=%d ca=%d", info->name, a.cot, a.negative, a.test, a.ca);
    else
        std::snprintf(head, sizeof head, "TYPE_%d cot=%d neg=%d test=%d ca=%d", a.type, a.cot, a.negative, a.test, a.ca);
    std::vector<std::string> lines;
    for (int i = 0; info && i < a.count; ++i) {
        const auto o = get_object(a, p, i);
        if (!o) break;
        char b[96];
        std::snprintf(b, sizeof b, " ioa=%u value=%s quality=0x%02x time=", o->ioa, value_text(*info, *o).c_str(),
                      quality_octet(*info, *o));
        lines.push_back(head + std::string(b) + (info->time ? format_time(o->time) : "-"));
    }
    if (lines.empty()) lines.push_back(head + std::string(" ioa=- value=- quality=- time=-"));
    return lines;
}

}  // namespace iec104_client
