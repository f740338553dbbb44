// fpi-sim: a simulator of the RF RTU and its FPIs, for commissioning fpigate
// and for tests. It plays a script of uplink telegrams on a serial line and
// prints (and answers) what the gateway sends back.
#include <getopt.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

#include "sim.h"

namespace {

const char usage[] = R"(usage: fpi-sim [options] [SCRIPT]

Simulates the RF RTU of a gateway and the FPIs behind it. Without --device it
creates a pseudo-terminal and prints "pty PATH": configure PATH as rtu_port of
fpigate. Then it plays SCRIPT (a file, '-' for standard input) and the -e
lines, prints every frame it sends ("tx ...") and receives ("rx ..."), answers
each CMD_INFO_SET with CMD_INFO_SET_ACK and each radio channel command
(24 .. 2A) with 24 06 <third byte> 2A, and runs on until killed.

options:
  -d, --device PATH     use this serial device instead of a pseudo-terminal
  -b, --baud N          speed of --device: 9600 19200 38400 57600 115200 (9600)
  -g, --group HEX       group ID, 10 hex digits (0102030405)
  -r, --rtu ID          RTU id the frames are addressed to (21)
  -s, --slave ID        slave id of the FPI that sends (1)
  -e, --exec LINES      script lines; ';' separates them; may be repeated
  -n, --no-infoset-ack  do not answer CMD_INFO_SET
  -x, --exit            exit when the script is done (status 1 if an await timed out)
  -h, --help            this text

script lines ('#' starts a comment; fields are key=value, all optional):
  join [fields]                 CMD_JOIN_DATA
  wakeup [notset|set] [fields]  CMD_WAKEUP_NOTSET (default) or CMD_WAKEUP_SET
  event [fields]                CMD_EVENT_DATA
  flash [fields]                CMD_FLASH_MODE
  fi_reset [fields]             CMD_FI_RESET (reset_type=8 unless given)
  infoset_ack [fields]          CMD_INFO_SET_ACK
  send NAME|CODE [fields]       any command, e.g. send 0x42 or send EVENT_DATA_ACK
  raw HEX...                    bytes as they are, e.g. raw 01 0A 81 82
  wait MS                       pause
  await NAME|channel [MS]       wait for the gateway to send it (5000 ms)
  repeat N ... end              play the lines between N times
  group HEX | rtu ID | slave ID change the addressing of later frames
  auto_ack on|off               answer CMD_INFO_SET or not
  exit                          stop here and exit
fields: from= to= group= (addressing of this frame);
  location="text" didt_level imax_level auto_reset flash_time transient_on
  validation mv date=Y/M/D/h/m/s frequency period (join, wakeup);
  i_status i_mean i_min i_max v_status v_inst battery_v rssi
  event_time=D/h/m/s (join, wakeup, event, flash);
  reset_type event_time (fi_reset); event_time (infoset_ack).
  Numbers are decimal or 0x hex; date and event_time default to local time now.
)";

bool read_file(const std::string& path, std::string& out) {
    if (path == "-") {
        std::ostringstream ss;
        ss << std::cin.rdbuf();
        out = ss.str();
        return true;
    }
    std::ifstream in(path);
    if (!in) return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    out = ss.str();
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    static const option long_options[] = {
        {"device", required_argument, nullptr, 'd'}, {"baud", required_argument, nullptr, 'b'},
        {"group", required_argument, nullptr, 'g'},  {"rtu", required_argument, nullptr, 'r'},
        {"slave", required_argument, nullptr, 's'},  {"exec", required_argument, nullptr, 'e'},
        {"no-infoset-ack", no_argument, nullptr, 'n'}, {"exit", no_argument, nullptr, 'x'},
        {"help", no_argument, nullptr, 'h'},         {nullptr, 0, nullptr, 0},
    };
    std::string device, error;
    int baud = 9600;
    bool exit_at_end = false, auto_ack = true;
    fpisim::addressing addr;
    std::vector<std::string> exec_texts;
    std::string header;  // "group/rtu/slave" lines from the options, applied before the script
    int opt;
    while ((opt = getopt_long(argc, argv, "d:b:g:r:s:e:nxh", long_options, nullptr)) != -1) {
        switch (opt) {
        case 'd': device = optarg; break;
        case 'b': baud = std::atoi(optarg); break;
        case 'g': header += std::string("group ") + optarg + "\n"; break;
        case 'r': header += std::string("rtu ") + optarg + "\n"; break;
        case 's': header += std::string("slave ") + optarg + "\n"; break;
        case 'e': exec_texts.push_back(optarg); break;
        case 'n': auto_ack = false; break;
        case 'x': exit_at_end = true; break;
        case 'h': std::fputs(usage, stdout); return 0;
        default: std::fputs("try fpi-sim --help\n", stderr); return 2;
        }
    }
    if (argc - optind > 1) {
        std::fputs("fpi-sim: one script file at most; try fpi-sim --help\n", stderr);
        return 2;
    }

    std::vector<fpisim::step> steps;
    if (!fpisim::parse_script(header, 1, steps, error)) {
        std::fprintf(stderr, "fpi-sim: option: %s\n", error.substr(error.find(": ") + 2).c_str());
        return 2;
    }
    if (optind < argc) {
        std::string text;
        if (!read_file(argv[optind], text)) {
            std::fprintf(stderr, "fpi-sim: cannot read script %s\n", argv[optind]);
            return 2;
        }
        if (!fpisim::parse_script(text, 1, steps, error)) {
            std::fprintf(stderr, "fpi-sim: %s: %s\n", argv[optind], error.c_str());
            return 2;
        }
    }
    for (const std::string& text : exec_texts) {
        if (!fpisim::parse_script(text, 1, steps, error)) {
            std::fprintf(stderr, "fpi-sim: -e: %s\n", error.c_str());
            return 2;
        }
    }

    fpisim::sim s;
    s.auto_ack = auto_ack;
    if (device.empty()) {
        std::string path = fpisim::open_pty_line(s);
        if (path.empty()) return 1;
        fpisim::emit("pty " + path);
    } else {
        if (!fpisim::open_device_line(s, device, baud)) return 1;
        fpisim::emit("device " + device);
    }

    std::thread receiver(fpisim::receive_loop, std::ref(s));
    int await_failures = 0;
    int rc = fpisim::play(s, steps, addr, await_failures);
    if (rc < 0) {
        fpisim::emit("done");
        if (!exit_at_end)
            for (;;) pause();  // serve the gateway until killed
        rc = await_failures ? 1 : 0;
    }
    s.running = false;
    receiver.join();
    return rc;
}
