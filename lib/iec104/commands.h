// Builders of the control-direction ASDUs a master sends (cause 6, or 5 for read).
#pragma once

#include <optional>

#include "lib/iec104/asdu.h"

namespace iec104 {

Asdu interrogation_command(const AppLayerParameters& p, uint16_t ca, uint8_t qoi = 20);
Asdu counter_interrogation_command(const AppLayerParameters& p, uint16_t ca, uint8_t qcc = 5);
Asdu read_command(const AppLayerParameters& p, uint16_t ca, uint32_t ioa);
Asdu clock_sync_command(const AppLayerParameters& p, uint16_t ca, int64_t utc_ms);
Asdu test_command(const AppLayerParameters& p, uint16_t ca, uint16_t tsc, int64_t utc_ms);
Asdu reset_process_command(const AppLayerParameters& p, uint16_t ca, uint8_t qrp = 1);

// Process commands; with a time (ms since 1970, UTC) the time-tagged type is used.
struct CommandOptions {
    bool select = false;
    uint8_t qualifier = 0;  // QU or QL
    std::optional<int64_t> time_ms = std::nullopt;
};
Asdu single_command(const AppLayerParameters& p, uint16_t ca, uint32_t ioa, bool on, const CommandOptions& o = {});
Asdu double_command(const AppLayerParameters& p, uint16_t ca, uint32_t ioa, int state, const CommandOptions& o = {});
Asdu set_point_normalized(const AppLayerParameters& p, uint16_t ca, uint32_t ioa, float value,
                          const CommandOptions& o = {});
Asdu set_point_scaled(const AppLayerParameters& p, uint16_t ca, uint32_t ioa, int16_t value,
                      const CommandOptions& o = {});
Asdu set_point_short(const AppLayerParameters& p, uint16_t ca, uint32_t ioa, float value,
                     const CommandOptions& o = {});

}  // namespace iec104
