#include <cstdint>
#include <cstdio>
#include <string>

#include "app/config_load.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static FILE* null_out = std::fopen("/dev/null", "w");
    uci::error err;
    auto pkg = uci::parse(std::string_view(reinterpret_cast<const char*>(data), size), "fuzz",
                          "fpigate", err);
    if (!pkg) return 0;
    app::config cfg;
    std::string problem;
    app::config_from_package(*pkg, cfg, null_out, problem);
    app::fill_do_settings(cfg.dio_points, cfg.dout);
    return 0;
}
