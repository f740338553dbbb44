// A small outstation for end-to-end tests: answers a station interrogation
// with one ASDU of each monitoring type, confirms commands to IOAs 5000..5999
// (ACT_CON + ACT_TERM), refuses IOA 6000 (negative ACT_CON), answers other
// IOAs with cause 47, and accepts clock synchronisation.
#pragma once

#include <atomic>

#include "lib/iec104/server.h"
#include "raw_master.h"

namespace test {

inline constexpr int64_t kDemoTimeMs = 1711850398765;

inline std::vector<iec104::Asdu> demo_monitoring(const iec104::AppLayerParameters& p, uint8_t cot, bool timed) {
    using namespace iec104;
    const Cp56Time2a t = cp56_from_ms(kDemoTimeMs);
    std::vector<Asdu> out;
    auto one = [&](uint8_t plain, uint8_t tagged, bool sequence, std::initializer_list<InformationObject> objects) {
        Asdu a = make_asdu(p, timed ? tagged : plain, sequence, cot, 1);
        for (InformationObject o : objects) {
            o.time = t;
            add_object(a, p, o);
        }
        out.push_back(a);
    };
    one(M_SP_NA_1, M_SP_TB_1, true, {{.ioa = 100, .value = 1}, {.ioa = 101, .value = 0, .quality = QUALITY_INVALID}});
    one(M_DP_NA_1, M_DP_TB_1, false, {{.ioa = 200, .value = 2}, {.ioa = 210, .value = 1}});
    one(M_ME_NA_1, M_ME_TD_1, true, {{.ioa = 300, .value = 16384}});
    one(M_ME_NB_1, M_ME_TE_1, false, {{.ioa = 400, .value = -1234}});
    one(M_ME_NC_1, M_ME_TF_1, true, {{.ioa = 500, .real = 230.5f}, {.ioa = 501, .real = -1.25f, .quality = QUALITY_OVERFLOW}});
    return out;
}

struct DemoStation {
    std::atomic<int64_t> clock_set_to{0};  // before the fixture: outlives the server's threads
    ServerFixture fixture;

    DemoStation() {
        using namespace iec104;
        auto& h = fixture.handlers;
        h.interrogation = [](const ConnectionPtr& c, Asdu& request, uint8_t qoi) {
            if (qoi != 20) return send_act_con(*c, request, true);
            send_act_con(*c, request, false);
            for (const Asdu& a : demo_monitoring(app_parameters(*c), COT_INTERROGATED_BY_STATION, false))
                send_asdu(*c, a);
            send_act_term(*c, request);
            return true;
        };
        h.clock_sync = [this](const ConnectionPtr&, Asdu&, Cp56Time2a& time) {
            clock_set_to = cp56_to_ms(time);
            return true;
        };
        h.asdu = [](const ConnectionPtr& c, Asdu& a) {
            const auto o = get_object(a, app_parameters(*c), 0);
            if (!o || a.type < C_SC_NA_1 || a.type > C_SE_TC_1) return false;
            if (o->ioa == 6000) return send_act_con(*c, a, true);
            if (o->ioa < 5000 || o->ioa > 5999) {
                a.cot = COT_UNKNOWN_IOA;
                a.negative = true;
                return send_asdu(*c, a);
            }
            send_act_con(*c, a, false);
            send_act_term(*c, a);
            return true;
        };
    }
    uint16_t start() { return fixture.start(); }
};

}  // namespace test
