// What the server does with a received ASDU: the system commands it checks
// and answers itself, the handlers, and the mirror replies for the rest.
#include "lib/iec104/server_internal.h"

namespace iec104 {
namespace {

enum class Outcome { handled, unhandled, close };

// The received ASDU sent back with another cause and P/N set.
Outcome mirror(Connection& c, const Asdu& received, uint8_t cot) {
    Asdu reply = received;
    reply.cot = cot;
    reply.negative = true;
    send_asdu(c, reply, Priority::high);
    return Outcome::handled;
}

// Object 0 of a system command; nothing when the ASDU holds none, which
// closes the connection.
std::optional<InformationObject> first_object(const Connection& c, const Asdu& a) {
    if (a.count == 0) return std::nullopt;
    return get_object(a, c.app, 0);
}

// C_IC, C_CI and C_RP: IOA 0, and the handler gets the qualifier.
Outcome qualifier_command(Connection& c, Asdu& a, const auto& handler, const ConnectionPtr& cp) {
    if (!handler) return Outcome::unhandled;
    const auto o = first_object(c, a);
    if (!o) return Outcome::close;
    if (o->ioa != 0) return mirror(c, a, COT_UNKNOWN_IOA);
    return handler(cp, a, uint8_t(o->value)) ? Outcome::handled : Outcome::unhandled;
}

Outcome clock_sync(const ServerHandlers& h, const ConnectionPtr& cp, Asdu& a) {
    Connection& c = *cp;
    if (!h.clock_sync) return Outcome::unhandled;
    const auto o = first_object(c, a);
    if (!o) return Outcome::close;
    if (o->ioa != 0) return mirror(c, a, COT_UNKNOWN_IOA);
    Cp56Time2a time = o->time;
    if (h.clock_sync(cp, a, time)) {  // confirmed with the time the handler left
        Asdu reply = make_asdu(c.app, C_CS_NA_1, false, COT_ACTIVATION_CON, a.ca);
        reply.oa = a.oa;
        reply.test = a.test;
        reply.negative = a.negative;
        add_object(reply, c.app, InformationObject{.ioa = 0, .time = time});
        send_asdu(c, reply, Priority::high);
        return Outcome::handled;
    }
    return mirror(c, a, COT_ACTIVATION_CON);  // refused: negative, with the received time
}

Outcome test_command(Connection& c, const Asdu& a) {
    const auto o = first_object(c, a);
    if (!o) return Outcome::close;
    if (o->ioa != 0) return mirror(c, a, COT_UNKNOWN_IOA);
    Asdu reply = a;
    reply.cot = COT_ACTIVATION_CON;
    send_asdu(c, reply, Priority::high);
    return Outcome::handled;
}

Outcome system_command(const ServerHandlers& h, const ConnectionPtr& cp, Asdu& a) {
    Connection& c = *cp;
    const bool broadcast = a.ca == broadcast_ca(c.app);
    switch (a.type) {
    case C_IC_NA_1:
        if (a.cot != COT_ACTIVATION && a.cot != COT_DEACTIVATION) return mirror(c, a, COT_UNKNOWN_COT);
        return qualifier_command(c, a, h.interrogation, cp);
    case C_CI_NA_1:
        if (a.cot != COT_ACTIVATION && a.cot != COT_DEACTIVATION) return mirror(c, a, COT_UNKNOWN_COT);
        return qualifier_command(c, a, h.counter_interrogation, cp);
    case C_RP_NA_1:
        if (a.cot != COT_ACTIVATION) return mirror(c, a, COT_UNKNOWN_COT);
        return qualifier_command(c, a, h.reset_process, cp);
    case C_RD_NA_1: {
        if (broadcast) return mirror(c, a, COT_UNKNOWN_CA);
        if (a.cot != COT_REQUEST) return mirror(c, a, COT_UNKNOWN_COT);
        if (!h.read) return Outcome::unhandled;
        const auto o = first_object(c, a);
        if (!o) return Outcome::close;
        return h.read(cp, a, o->ioa) ? Outcome::handled : Outcome::unhandled;
    }
    case C_CS_NA_1:
        if (a.cot != COT_ACTIVATION) return mirror(c, a, COT_UNKNOWN_COT);
        return clock_sync(h, cp, a);
    case C_CD_NA_1:
        if (broadcast) return mirror(c, a, COT_UNKNOWN_CA);
        if (a.cot != COT_ACTIVATION && a.cot != COT_SPONTANEOUS) return mirror(c, a, COT_UNKNOWN_COT);
        return Outcome::unhandled;
    case C_TS_TA_1:
        if (a.cot != COT_ACTIVATION) return mirror(c, a, COT_UNKNOWN_COT);
        if (broadcast) return mirror(c, a, COT_UNKNOWN_CA);
        return test_command(c, a);
    default: return Outcome::unhandled;
    }
}

bool broadcast_command(uint8_t type) {
    return type == C_IC_NA_1 || type == C_CI_NA_1 || type == C_CS_NA_1 || type == C_RP_NA_1;
}

bool known_common_address(const ServerHandlers& h, const ConnectionPtr& c, const Asdu& a) {
    if (!h.common_address || h.common_address(c, a.ca)) return true;
    return a.ca == broadcast_ca(c->app) && broadcast_command(a.type);
}

}  // namespace

bool dispatch_asdu(const ServerHandlers& h, const ConnectionPtr& c, Asdu& asdu, bool known_type) {
    if (!known_common_address(h, c, asdu)) {
        mirror(*c, asdu, COT_UNKNOWN_CA);
        return true;
    }
    if (known_type) {
        const Outcome o = system_command(h, c, asdu);
        if (o == Outcome::close) return false;
        if (o == Outcome::handled) return true;
    }
    if (h.asdu && h.asdu(c, asdu)) return true;
    mirror(*c, asdu, COT_UNKNOWN_TYPE_ID);
    return true;
}

}  // namespace iec104
