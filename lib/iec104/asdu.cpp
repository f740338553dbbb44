#include "lib/iec104/asdu.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace iec104 {
namespace {

void put_u16(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
uint16_t get_u16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }

void put_float(uint8_t* p, float f) {
    const uint32_t v = std::bit_cast<uint32_t>(f);
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
float get_float(const uint8_t* p) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= uint32_t(p[i]) << (8 * i);
    return std::bit_cast<float>(v);
}

uint8_t command_qualifier(const InformationObject& o) {
    return uint8_t((o.qualifier & 0x1f) << 2 | (o.select ? 0x80 : 0));
}
uint8_t set_point_qualifier(const InformationObject& o) {
    return uint8_t((o.qualifier & 0x7f) | (o.select ? 0x80 : 0));
}

// Writes the element of `o` (no IOA) as `info` lays it out.
void encode_element(const TypeInfo& info, const InformationObject& o, uint8_t* p) {
    switch (info.element) {
    case Element::siq: *p++ = uint8_t((o.value ? 1 : 0) | (o.quality & 0xf0)); break;
    case Element::diq: *p++ = uint8_t((o.value & 3) | (o.quality & 0xf0)); break;
    case Element::nva_qds:
    case Element::sva_qds:
        put_u16(p, uint32_t(o.value));
        p[2] = o.quality;
        p += 3;
        break;
    case Element::float_qds:
        put_float(p, o.real);
        p[4] = o.quality;
        p += 5;
        break;
    case Element::sco: *p++ = uint8_t((o.value & 1) | command_qualifier(o)); break;
    case Element::dco: *p++ = uint8_t((o.value & 3) | command_qualifier(o)); break;
    case Element::nva_qos:
    case Element::sva_qos:
        put_u16(p, uint32_t(o.value));
        p[2] = set_point_qualifier(o);
        p += 3;
        break;
    case Element::float_qos:
        put_float(p, o.real);
        p[4] = set_point_qualifier(o);
        p += 5;
        break;
    case Element::byte: *p++ = uint8_t(o.value); break;
    case Element::u16:
        put_u16(p, uint32_t(o.value));
        p += 2;
        break;
    case Element::none: break;
    }
    if (info.time)
        for (uint8_t b : o.time.bytes) *p++ = b;
}

void decode_element(const TypeInfo& info, const uint8_t* p, InformationObject& o) {
    switch (info.element) {
    case Element::siq:
        o.value = *p & 1;
        o.quality = *p & 0xf0;
        p += 1;
        break;
    case Element::diq:
        o.value = *p & 3;
        o.quality = *p & 0xf0;
        p += 1;
        break;
    case Element::nva_qds:
    case Element::sva_qds:
        o.value = int16_t(get_u16(p));
        o.quality = p[2];
        p += 3;
        break;
    case Element::float_qds:
        o.real = get_float(p);
        o.quality = p[4];
        p += 5;
        break;
    case Element::sco:
    case Element::dco:
        o.value = *p & (info.element == Element::sco ? 1 : 3);
        o.qualifier = (*p >> 2) & 0x1f;
        o.select = *p & 0x80;
        p += 1;
        break;
    case Element::nva_qos:
    case Element::sva_qos:
        o.value = int16_t(get_u16(p));
        o.qualifier = p[2] & 0x7f;
        o.select = p[2] & 0x80;
        p += 3;
        break;
    case Element::float_qos:
        o.real = get_float(p);
        o.qualifier = p[4] & 0x7f;
        o.select = p[4] & 0x80;
        p += 5;
        break;
    case Element::byte: o.value = *p++; break;
    case Element::u16:
        o.value = get_u16(p);
        p += 2;
        break;
    case Element::none: break;
    }
    if (info.time)
        for (uint8_t& b : o.time.bytes) b = *p++;
}

uint32_t max_ioa(const AppLayerParameters& p) { return (uint32_t(1) << (8 * p.size_of_ioa)) - 1; }

void put_ioa(uint8_t* out, uint32_t ioa, int size) {
    for (int i = 0; i < size; ++i) out[i] = uint8_t(ioa >> (8 * i));
}
uint32_t get_ioa(const uint8_t* in, int size) {
    uint32_t ioa = 0;
    for (int i = 0; i < size; ++i) ioa |= uint32_t(in[i]) << (8 * i);
    return ioa;
}

// Payload octets `count` objects need.
int payload_size_for(const TypeInfo& info, const AppLayerParameters& p, bool sequence, int count) {
    if (count == 0) return 0;
    const int element = element_size(info);
    return sequence ? p.size_of_ioa + count * element : count * (p.size_of_ioa + element);
}

// Payload octets an ASDU may carry.
int payload_room(const AppLayerParameters& p) { return std::min(p.max_size_of_asdu, kMaxAsduSize) - header_size(p); }

}  // namespace

bool valid(const AppLayerParameters& p) {
    return (p.size_of_cot == 1 || p.size_of_cot == 2) && (p.size_of_ca == 1 || p.size_of_ca == 2) &&
           p.size_of_ioa >= 1 && p.size_of_ioa <= 3 && p.originator_address >= 0 &&
           p.originator_address <= 255 && p.max_size_of_asdu > header_size(p) &&
           p.max_size_of_asdu <= kMaxAsduSize;
}

Asdu make_asdu(const AppLayerParameters& p, uint8_t type, bool sequence, uint8_t cot, uint16_t ca) {
    Asdu a;
    a.type = type;
    a.sequence = sequence;
    a.cot = cot & 0x3f;
    a.oa = p.size_of_cot == 2 ? uint8_t(p.originator_address) : 0;
    a.ca = ca;
    return a;
}

bool add_object(Asdu& asdu, const AppLayerParameters& p, const InformationObject& object) {
    const TypeInfo* info = type_info(asdu.type);
    if (!info) return false;
    if (info->single_object && asdu.count > 0) return false;
    if (asdu.count >= kMaxObjects) return false;
    const bool first = asdu.count == 0;
    if (asdu.sequence && !first) {
        const uint32_t first_ioa = get_ioa(asdu.payload.data(), p.size_of_ioa);
        if (object.ioa != first_ioa + asdu.count) return false;
    }
    if (object.ioa > max_ioa(p)) return false;
    const bool with_ioa = first || !asdu.sequence;
    const int needed = (with_ioa ? p.size_of_ioa : 0) + element_size(*info);
    const int room = payload_room(p) - asdu.payload_size;
    if (needed > room) return false;

    uint8_t* out = asdu.payload.data() + asdu.payload_size;
    if (with_ioa) {
        put_ioa(out, object.ioa, p.size_of_ioa);
        out += p.size_of_ioa;
    }
    encode_element(*info, object, out);
    asdu.payload_size = uint8_t(asdu.payload_size + needed);
    ++asdu.count;
    return true;
}

int object_capacity(const AppLayerParameters& p, uint8_t type, bool sequence) {
    const TypeInfo* info = type_info(type);
    if (!info) return 0;
    const int room = payload_room(p);
    const int element = element_size(*info);
    const int limit = info->single_object ? 1 : kMaxObjects;
    if (room < p.size_of_ioa + element) return 0;
    if (element == 0) return sequence ? limit : std::min(limit, room / p.size_of_ioa);
    return std::min(limit, sequence ? (room - p.size_of_ioa) / element : room / (p.size_of_ioa + element));
}

std::optional<InformationObject> get_object(const Asdu& asdu, const AppLayerParameters& p, int index) {
    const TypeInfo* info = type_info(asdu.type);
    if (!info || index < 0 || index >= asdu.count) return std::nullopt;
    if (payload_size_for(*info, p, asdu.sequence, index + 1) > asdu.payload_size) return std::nullopt;
    const int element = element_size(*info);
    InformationObject o;
    const uint8_t* in = asdu.payload.data();
    if (asdu.sequence) {
        o.ioa = get_ioa(in, p.size_of_ioa) + uint32_t(index);
        in += p.size_of_ioa + index * element;
    } else {
        in += index * (p.size_of_ioa + element);
        o.ioa = get_ioa(in, p.size_of_ioa);
        in += p.size_of_ioa;
    }
    decode_element(*info, in, o);
    return o;
}

size_t encode_asdu(const Asdu& asdu, const AppLayerParameters& p, std::span<uint8_t> out) {
    const size_t size = size_t(header_size(p)) + asdu.payload_size;
    if (out.size() < size) return 0;
    uint8_t* o = out.data();
    *o++ = asdu.type;
    *o++ = uint8_t((asdu.sequence ? 0x80 : 0) | (asdu.count & 0x7f));
    *o++ = uint8_t((asdu.cot & 0x3f) | (asdu.negative ? 0x40 : 0) | (asdu.test ? 0x80 : 0));
    if (p.size_of_cot == 2) *o++ = asdu.oa;
    *o++ = uint8_t(asdu.ca);
    if (p.size_of_ca == 2) *o++ = uint8_t(asdu.ca >> 8);
    for (int i = 0; i < asdu.payload_size; ++i) *o++ = asdu.payload[size_t(i)];
    return size;
}

const char* to_string(DecodeError e) {
    switch (e) {
    case DecodeError::ok: return "ok";
    case DecodeError::too_short: return "ASDU too short";
    case DecodeError::too_long: return "ASDU too long";
    case DecodeError::unknown_type: return "unknown type identification";
    case DecodeError::length_mismatch: return "ASDU length does not match its objects";
    }
    return "?";
}

DecodeError decode_asdu(std::span<const uint8_t> in, const AppLayerParameters& p, Asdu& out) {
    const size_t header = size_t(header_size(p));
    if (in.size() < header) return DecodeError::too_short;
    if (in.size() > size_t(kMaxAsduSize)) return DecodeError::too_long;
    const uint8_t* b = in.data();
    Asdu a;
    a.type = b[0];
    a.sequence = b[1] & 0x80;
    a.count = b[1] & 0x7f;
    a.cot = b[2] & 0x3f;
    a.negative = b[2] & 0x40;
    a.test = b[2] & 0x80;
    size_t i = 3;
    if (p.size_of_cot == 2) a.oa = b[i++];
    a.ca = b[i++];
    if (p.size_of_ca == 2) a.ca = uint16_t(a.ca | b[i++] << 8);
    a.payload_size = uint8_t(in.size() - header);
    for (size_t j = 0; j < a.payload_size; ++j) a.payload[j] = b[header + j];

    const TypeInfo* info = type_info(a.type);
    if (!info) {
        out = a;
        return DecodeError::unknown_type;
    }
    if (payload_size_for(*info, p, a.sequence, a.count) != a.payload_size)
        return DecodeError::length_mismatch;
    out = a;
    return DecodeError::ok;
}

int16_t normalized_from_float(float f) {
    if (!(f >= -1.0f)) f = std::isnan(f) ? 0.0f : -1.0f;  // NaN becomes 0
    if (f > 32767.0f / 32768.0f) f = 32767.0f / 32768.0f;
    return int16_t(std::lround(double(f) * 32768.0));
}

float normalized_to_float(int16_t v) { return float(v) / 32768.0f; }

}  // namespace iec104
