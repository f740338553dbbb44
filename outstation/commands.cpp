#include "outstation/commands.h"

#include <bit>
#include <cstdio>
#include <ctime>
#include <optional>

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

// A time-tagged command whose tag lies further than command_max_age_s from
// the clock (shifted as our own time tags are) is refused; the line names
// its age (negative: ahead of the clock).
bool too_old(const station& st, const iec104::Asdu& a, const iec104::InformationObject& o) {
    const config::config* cfg = st.station_config;
    if (!cfg || cfg->settings.command_max_age_s <= 0 || !time_tagged(a.type)) return false;
    if (iec104::cp56_invalid(o.time)) {
        std::printf("Command for IOA %u refused: time tag marked invalid\n", unsigned(o.ioa));
        return true;
    }
    const int64_t now = core::shifted_wall_ms(core::wall_clock.now_ms(), cfg->settings.asdu_time_offset);
    const int64_t age = now - iec104::cp56_to_ms(o.time);
    const int64_t limit = int64_t(cfg->settings.command_max_age_s) * 1000;
    if (age >= -limit && age <= limit) return false;
    std::printf("Command for IOA %u refused: time tag %lld ms old\n", unsigned(o.ioa), (long long)age);
    return true;
}

int32_t select_timeout(const station& st) {
    return st.station_config ? st.station_config->settings.select_timeout_ms : 0;
}

bool same_connection(const std::weak_ptr<iec104::Connection>& held, const iec104::ConnectionPtr& c) {
    return !held.owner_before(c) && !c.owner_before(held);
}

command_selection selection_of(const iec104::ConnectionPtr& c, const iec104::Asdu& a,
                               const iec104::InformationObject& o) {
    return {c, a.type, o.ioa, o.value, std::bit_cast<uint32_t>(o.real), 0};
}

// Holds a select until its deadline, in place of the connection's earlier
// one for that IOA. False while another master's select of the IOA holds.
bool selection_hold(station& st, const iec104::ConnectionPtr& c, const iec104::Asdu& a,
                    const iec104::InformationObject& o) {
    const uint64_t now = core::monotonic_ms();
    std::lock_guard lk(st.selections.lock);
    std::vector<command_selection>& held = st.selections.held;
    std::erase_if(held, [&](const command_selection& s) {
        return s.connection.expired() || now > s.deadline_ms || (s.ioa == o.ioa && same_connection(s.connection, c));
    });
    for (const command_selection& s : held)
        if (s.ioa == o.ioa) return false;
    command_selection s = selection_of(c, a, o);
    s.deadline_ms = now + uint64_t(select_timeout(st));
    held.push_back(s);
    return true;
}

// Ends the connection's selection of the IOA; why an execute may not act,
// or nullptr when it matches a live select.
const char* selection_take(station& st, const iec104::ConnectionPtr& c, const iec104::Asdu& a,
                           const iec104::InformationObject& o) {
    const uint64_t now = core::monotonic_ms();
    std::lock_guard lk(st.selections.lock);
    std::vector<command_selection>& held = st.selections.held;
    for (auto it = held.begin(); it != held.end(); ++it) {
        if (it->ioa != o.ioa || !same_connection(it->connection, c)) continue;
        const command_selection s = *it;
        held.erase(it);
        if (now > s.deadline_ms) return "its select has expired";
        const command_selection e = selection_of(c, a, o);
        if (s.type != e.type || s.value != e.value || s.real_bits != e.real_bits) return "it differs from its select";
        return nullptr;
    }
    return "not selected";
}

// A deactivation: the connection's selection of that IOA and type ends.
// True when a select of this connection was ended.
bool selection_cancel(station& st, const iec104::ConnectionPtr& c, const iec104::Asdu& a,
                      const iec104::InformationObject& o) {
    std::lock_guard lk(st.selections.lock);
    const size_t removed = std::erase_if(st.selections.held, [&](const command_selection& s) {
        return s.ioa == o.ioa && s.type == a.type && same_connection(s.connection, c);
    });
    if (removed) std::printf("Select of IOA %u cancelled\n", unsigned(o.ioa));
    return removed > 0;
}

// A command to an output, the DCU or an FPI reset: a select is checked (and
// held when selects are required), an execute acts (when selects are
// required, only on its own live select).
int operate(station& st, const iec104::ConnectionPtr& c, const iec104::Asdu& a, const iec104::InformationObject& o,
            uint32_t lookup, int32_t value) {
    const bool required = select_timeout(st) > 0;
    if (o.select) {
        const int result = execute_command(st, o.ioa, lookup, value, true);
        if (result != executed) return result;
        if (required && !selection_hold(st, c, a, o)) {
            std::printf("Command for IOA %u refused: selected by another master\n", unsigned(o.ioa));
            return refused;
        }
        return accepted;
    }
    if (!required) return execute_command(st, o.ioa, lookup, value);
    const char* why = selection_take(st, c, a, o);
    if (!why) return execute_command(st, o.ioa, lookup, value);
    const int result = execute_command(st, o.ioa, lookup, value, true);  // 47 and refusals as without selects
    if (result != executed) return result;
    std::printf("Command for IOA %u refused: %s\n", unsigned(o.ioa), why);
    return refused;
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
    if (asdu.cot == iec104::COT_DEACTIVATION) {  // a select it ends, nothing else to stop
        const bool cancelled = selection_cancel(st, cp, asdu, o);
        asdu.cot = iec104::COT_DEACTIVATION_CON;
        // Where selects are required, one that ends no select is refused.
        asdu.negative = !cancelled && select_timeout(st) > 0;
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
        // 0 (indeterminate) and 3 are no double command state a master may send
        if (lookup == 31 && (o.value == 0 || o.value == 3)) {
            std::printf("Command for IOA %u refused: double command state %d not permitted\n", unsigned(o.ioa),
                        int(o.value));
            iec104::send_act_con(c, asdu, true);
            return true;
        }
        if (too_old(st, asdu, o)) {
            iec104::send_act_con(c, asdu, true);
            return true;
        }
        // single command state 0/1; double command state minus 1
        const int32_t value = lookup == 30 ? o.value : o.value - 1;
        send_command_reply(asdu, operate(st, cp, asdu, o, uint32_t(lookup), value), c);
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
    if (too_old(st, asdu, o)) {
        iec104::send_act_con(c, asdu, true);
        return true;
    }

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
    send_command_reply(asdu, operate(st, cp, asdu, o, uint32_t(lookup), scaled ? o.value : truncated(value)), c);
    return true;
}

bool read_handler(station& st, const iec104::ConnectionPtr& cp, iec104::Asdu& asdu, uint32_t ioa) {
    iec104::Connection& c = *cp;
    std::printf("Received read command for IOA %u\n", unsigned(ioa));
    std::optional<iec104::InformationObject> object;
    int32_t type_id = 0;
    {
        std::lock_guard lk(st.value_store_lock);
        const value_store& s = st.station_values;
        for (int i = 0; i < s.count && !object; ++i) {
            const value_record& r = s.records[size_t(i)];
            if (uint32_t(r.ioa) != ioa || !reported_type(r.type_id)) continue;
            object = record_object(r, false);
            type_id = r.type_id;
        }
    }
    const iec104::AppLayerParameters& app = iec104::app_parameters(c);
    iec104::Asdu reply;
    if (object) {
        reply = iec104::make_asdu(app, wire_type(type_id, false), false, iec104::COT_REQUEST, st.settings.ca);
        if (!iec104::add_object(reply, app, *object)) {
            report_unsendable(st, int32_t(ioa), type_id);
            object.reset();
        }
    }
    if (!object) {  // no value to read
        reply = asdu;
        reply.cot = iec104::COT_UNKNOWN_IOA;
        reply.negative = true;
    }
    iec104::send_asdu(c, reply);
    return true;
}

}  // namespace outstation
