#include "outstation/commands.h"

#include <cstdio>
#include <ctime>

#include "core/clock.h"
#include "outstation/station.h"

namespace outstation {

namespace {

struct command_type {
    uint8_t type;
    const char* receipt;
    int32_t lookup_type;
};
constexpr command_type command_types[] = {
    {iec104::C_SC_NA_1, "received single command", 30},
    {iec104::C_SC_TA_1, "received single command with timestamp", 30},
    {iec104::C_DC_NA_1, "received double command", 31},
    {iec104::C_DC_TA_1, "received double command with timestamp", 31},
    {iec104::C_SE_NA_1, "received measure value normalized command", 34},
    {iec104::C_SE_TA_1, "received measure value normalized command", 34},
    {iec104::C_SE_NB_1, "received measure value scaled command", 35},
    {iec104::C_SE_TB_1, "received measure value scaled command", 35},
    {iec104::C_SE_NC_1, "received measure value short command", 36},
    {iec104::C_SE_TC_1, "received measure value short command", 36},
};

const command_type* find_command(uint8_t type) {
    for (const command_type& c : command_types)
        if (c.type == type) return &c;
    return nullptr;
}

bool time_tagged(uint8_t type) { return type >= iec104::C_SC_TA_1 && type <= iec104::C_SE_TC_1; }

// The command time in whole seconds: the time tag, or the clock now.
uint64_t command_seconds(const iec104::Asdu& a, const iec104::InformationObject& o) {
    if (!time_tagged(a.type)) return uint64_t(core::wall_clock.now_ms() / 1000);
    const uint64_t s = uint64_t(iec104::cp56_to_ms(o.time) / 1000);
    const char* label = a.type == iec104::C_SE_TA_1   ? "Time-tag received"
                        : a.type == iec104::C_SE_TB_1 ? "Scaled Time-tag received"
                                                      : "Short Time-tag received";
    std::printf("%s: %llu\n", label, (unsigned long long)s);
    return s;
}

// A float set-point value truncated toward zero into 32 bits.
int32_t truncated(float v) {
    if (!(v == v)) return 0;
    if (v >= 2147483647.0f) return INT32_MAX;
    if (v <= -2147483648.0f) return INT32_MIN;
    return int32_t(v);
}

}  // namespace

int execute_command(station& st, uint32_t ioa, uint32_t type_id, int32_t value, bool select_only) {
    const config::config* command_config = st.station_config;
    if (!command_config) return no_target;
    const command_targets& commands = st.commands;
    int n = 0;
    for (const config::iec104_ioa& p : command_config->dio_points) {
        if (!p.gpio_type || *p.gpio_type != "digital_output") continue;
        ++n;
        if (uint32_t(p.type_id) != type_id || uint32_t(p.ioa) != ioa) continue;
        // an output whose line is missing cannot be switched: refused, not reported as done
        if (n > 6 || !commands.output_present || !commands.output_present(n)) return refused;
        if (select_only) return executed;
        if (n == 6) {
            if (commands.reset_dcu) commands.reset_dcu();
            return executed;
        }
        return commands.drive_output && commands.drive_output(n, value) ? executed : refused;
    }
    for (const config::fpi_iec104_ioa& p : command_config->fpi_points) {
        if (!p.ioa_name || *p.ioa_name != "RESET" || uint32_t(p.type_id) != type_id || uint32_t(p.ioa) != ioa)
            continue;
        if (value != 1) {
            std::printf("RESET command ignored because value is %d for Slave %d\n", value, p.slave_id);
            return refused;
        }
        if (select_only) return executed;
        if (commands.pending_reset_store) commands.pending_reset_store(uint8_t(p.slave_id));
        std::printf("RESET command stored for Slave %d, IOA %d and typeid %d\n", p.slave_id, p.ioa, p.type_id);
        return executed;
    }
    return no_target;
}

void send_command_reply(iec104::Asdu& asdu, int result, iec104::Connection& c) {
    switch (result) {
    case no_target:
        asdu.cot = iec104::COT_UNKNOWN_IOA;
        asdu.negative = true;
        iec104::send_asdu(c, asdu);
        break;
    case refused: iec104::send_act_con(c, asdu, true); break;
    case executed:
        iec104::send_act_con(c, asdu, false);
        iec104::send_act_term(c, asdu);
        break;
    case accepted: iec104::send_act_con(c, asdu, false); break;
    default: break;
    }
}

bool asdu_handler(station& st, const iec104::ConnectionPtr& cp, iec104::Asdu& asdu) {
    const command_type* type = find_command(asdu.type);
    if (!type) return false;
    iec104::Connection& c = *cp;
    std::printf("%s\n", type->receipt);
    const auto object = iec104::get_object(asdu, iec104::app_parameters(c), 0);
    if (!object) {  // nothing to act on
        iec104::send_act_con(c, asdu, true);
        return true;
    }
    const iec104::InformationObject& o = *object;
    if (asdu.cot == iec104::COT_DEACTIVATION) {  // nothing to stop: confirmed, and nothing done
        asdu.cot = iec104::COT_DEACTIVATION_CON;
        asdu.negative = false;
        iec104::send_asdu(c, asdu);
        return true;
    }
    if (asdu.cot != iec104::COT_ACTIVATION) {
        asdu.cot = iec104::COT_UNKNOWN_COT;
        asdu.negative = true;
        iec104::send_asdu(c, asdu);
        return true;
    }
    const bool select = o.select;
    const int32_t lookup = type->lookup_type;

    if (lookup == 30 || lookup == 31) {
        // single command state 0/1; double command state minus 1
        const int32_t value = lookup == 30 ? o.value : o.value - 1;
        const int result = execute_command(st, o.ioa, uint32_t(lookup), value, select);
        send_command_reply(asdu, select && result == executed ? accepted : result, c);
        return true;
    }

    // Set-points: normalized and short floats as floats, scaled as integers.
    const bool scaled = lookup == 35;
    const float value = lookup == 34 ? iec104::normalized_to_float(int16_t(o.value))
                        : lookup == 35 ? float(o.value)
                                       : o.real;
    if (scaled)
        std::printf("Value %d\n", o.value);
    else
        std::printf("Value %f\n", double(value));
    const uint64_t seconds = command_seconds(asdu, o);

    const command_targets& commands = st.commands;
    const config::fpi_iec104_ioa* point = data_point_lookup(st, int32_t(o.ioa), lookup);
    if (point && commands.is_infoset_parameter && commands.is_infoset_parameter(*point)) {
        int rc;
        if (select)  // checked, not stored
            rc = commands.infoset_check_parameter ? commands.infoset_check_parameter(o.ioa, uint32_t(lookup), value) : -1;
        else
            rc = commands.infoset_store_parameter ? commands.infoset_store_parameter(o.ioa, uint32_t(lookup), seconds * 1000, value) : -1;
        if (rc == -1) {
            std::printf("Invalid parameter IOA %d\n", int(o.ioa));
            iec104::send_act_con(c, asdu, true);
        } else {
            // a select only checks the target: nothing was stored to report
            if (!select) std::printf("Parameter stored successful IOA %d\n", int(o.ioa));
            iec104::send_act_con(c, asdu, false);
        }
        return true;
    }
    const int result = execute_command(st, o.ioa, uint32_t(lookup), scaled ? o.value : truncated(value), select);
    send_command_reply(asdu, select && result == executed ? accepted : result, c);
    return true;
}

}  // namespace outstation
