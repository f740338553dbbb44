#include "lib/iec104/commands.h"

namespace iec104 {
namespace {

Asdu one_object(const AppLayerParameters& p, uint8_t type, uint8_t cot, uint16_t ca, const InformationObject& o) {
    Asdu a = make_asdu(p, type, false, cot, ca);
    add_object(a, p, o);
    return a;
}

Asdu process_command(const AppLayerParameters& p, uint8_t plain, uint8_t timed, uint16_t ca, InformationObject o,
                     const CommandOptions& opt) {
    o.select = opt.select;
    o.qualifier = opt.qualifier;
    if (opt.time_ms) o.time = cp56_from_ms(*opt.time_ms);
    return one_object(p, opt.time_ms ? timed : plain, COT_ACTIVATION, ca, o);
}

}  // namespace

Asdu interrogation_command(const AppLayerParameters& p, uint16_t ca, uint8_t qoi) {
    return one_object(p, C_IC_NA_1, COT_ACTIVATION, ca, {.ioa = 0, .value = qoi});
}

Asdu counter_interrogation_command(const AppLayerParameters& p, uint16_t ca, uint8_t qcc) {
    return one_object(p, C_CI_NA_1, COT_ACTIVATION, ca, {.ioa = 0, .value = qcc});
}

Asdu read_command(const AppLayerParameters& p, uint16_t ca, uint32_t ioa) {
    return one_object(p, C_RD_NA_1, COT_REQUEST, ca, {.ioa = ioa});
}

Asdu clock_sync_command(const AppLayerParameters& p, uint16_t ca, int64_t utc_ms) {
    return one_object(p, C_CS_NA_1, COT_ACTIVATION, ca, {.ioa = 0, .time = cp56_from_ms(utc_ms)});
}

Asdu test_command(const AppLayerParameters& p, uint16_t ca, uint16_t tsc, int64_t utc_ms) {
    return one_object(p, C_TS_TA_1, COT_ACTIVATION, ca, {.ioa = 0, .value = tsc, .time = cp56_from_ms(utc_ms)});
}

Asdu reset_process_command(const AppLayerParameters& p, uint16_t ca, uint8_t qrp) {
    return one_object(p, C_RP_NA_1, COT_ACTIVATION, ca, {.ioa = 0, .value = qrp});
}

Asdu single_command(const AppLayerParameters& p, uint16_t ca, uint32_t ioa, bool on, const CommandOptions& o) {
    return process_command(p, C_SC_NA_1, C_SC_TA_1, ca, {.ioa = ioa, .value = on ? 1 : 0}, o);
}

Asdu double_command(const AppLayerParameters& p, uint16_t ca, uint32_t ioa, int state, const CommandOptions& o) {
    return process_command(p, C_DC_NA_1, C_DC_TA_1, ca, {.ioa = ioa, .value = state & 3}, o);
}

Asdu set_point_normalized(const AppLayerParameters& p, uint16_t ca, uint32_t ioa, float value,
                          const CommandOptions& o) {
    return process_command(p, C_SE_NA_1, C_SE_TA_1, ca, {.ioa = ioa, .value = normalized_from_float(value)}, o);
}

Asdu set_point_scaled(const AppLayerParameters& p, uint16_t ca, uint32_t ioa, int16_t value,
                      const CommandOptions& o) {
    return process_command(p, C_SE_NB_1, C_SE_TB_1, ca, {.ioa = ioa, .value = value}, o);
}

Asdu set_point_short(const AppLayerParameters& p, uint16_t ca, uint32_t ioa, float value, const CommandOptions& o) {
    return process_command(p, C_SE_NC_1, C_SE_TC_1, ca, {.ioa = ioa, .real = value}, o);
}

}  // namespace iec104
