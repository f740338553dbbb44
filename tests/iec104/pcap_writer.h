// Writes a pcap file of one TCP conversation from the APDUs each side sent:
// synthesised Ethernet, IPv4 and TCP headers with consistent sequence and
// acknowledgement numbers and valid checksums, so that a dissector sees a
// clean capture.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace test {

class PcapWriter {
public:
    explicit PcapWriter(const std::string& path, uint16_t server_port = 2404)
        : file_(std::fopen(path.c_str(), "wb")), server_port_(server_port) {
        if (!file_) return;
        std::vector<uint8_t> h;
        put32(h, 0xa1b2c3d4);
        put16(h, 2);
        put16(h, 4);
        put32(h, 0);
        put32(h, 0);
        put32(h, 65535);
        put32(h, 1);  // Ethernet
        std::fwrite(h.data(), 1, h.size(), file_);
        // Three-way handshake.
        segment(true, 0x02, {});
        ++seq_[0];
        segment(false, 0x12, {});
        ++seq_[1];
        segment(true, 0x10, {});
    }
    ~PcapWriter() {
        if (file_) std::fclose(file_);
    }
    PcapWriter(const PcapWriter&) = delete;
    PcapWriter& operator=(const PcapWriter&) = delete;
    bool ok() const { return file_ != nullptr; }

    // One APDU, from the client (master) or from the server.
    void apdu(bool from_client, const std::vector<uint8_t>& bytes) {
        segment(from_client, 0x18, bytes);  // PSH ACK
        seq_[from_client ? 0 : 1] += uint32_t(bytes.size());
    }

private:
    static void put16(std::vector<uint8_t>& v, uint16_t x) {  // little endian (pcap header)
        v.push_back(uint8_t(x));
        v.push_back(uint8_t(x >> 8));
    }
    static void put32(std::vector<uint8_t>& v, uint32_t x) {
        put16(v, uint16_t(x));
        put16(v, uint16_t(x >> 16));
    }
    static void be16(std::vector<uint8_t>& v, uint16_t x) {
        v.push_back(uint8_t(x >> 8));
        v.push_back(uint8_t(x));
    }
    static void be32(std::vector<uint8_t>& v, uint32_t x) {
        be16(v, uint16_t(x >> 16));
        be16(v, uint16_t(x));
    }
    static uint16_t checksum(const std::vector<uint8_t>& v, size_t from, size_t n, uint32_t sum = 0) {
        for (size_t i = 0; i + 1 < n; i += 2) sum += uint32_t(v[from + i] << 8 | v[from + i + 1]);
        if (n & 1) sum += uint32_t(v[from + n - 1] << 8);
        while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
        return uint16_t(~sum);
    }

    void segment(bool from_client, uint8_t flags, const std::vector<uint8_t>& payload) {
        const int s = from_client ? 0 : 1;
        std::vector<uint8_t> p;
        // Ethernet
        const uint8_t client_mac[6] = {2, 0, 0, 0, 0, 1}, server_mac[6] = {2, 0, 0, 0, 0, 2};
        p.insert(p.end(), from_client ? server_mac : client_mac, (from_client ? server_mac : client_mac) + 6);
        p.insert(p.end(), from_client ? client_mac : server_mac, (from_client ? client_mac : server_mac) + 6);
        be16(p, 0x0800);
        // IPv4
        const size_t ip = p.size();
        const uint16_t total = uint16_t(20 + 20 + payload.size());
        const uint32_t src = from_client ? 0x0a000001 : 0x0a000002, dst = from_client ? 0x0a000002 : 0x0a000001;
        p.push_back(0x45);
        p.push_back(0);
        be16(p, total);
        be16(p, ++ip_id_);
        be16(p, 0x4000);
        p.push_back(64);
        p.push_back(6);
        be16(p, 0);
        be32(p, src);
        be32(p, dst);
        const uint16_t ip_sum = checksum(p, ip, 20);
        p[ip + 10] = uint8_t(ip_sum >> 8);
        p[ip + 11] = uint8_t(ip_sum);
        // TCP
        const size_t tcp = p.size();
        be16(p, from_client ? kClientPort : server_port_);
        be16(p, from_client ? server_port_ : kClientPort);
        be32(p, seq_[s]);
        be32(p, flags & 0x10 ? seq_[1 - s] : 0);
        p.push_back(0x50);
        p.push_back(flags);
        be16(p, 65535);
        be16(p, 0);
        be16(p, 0);
        p.insert(p.end(), payload.begin(), payload.end());
        const uint16_t tcp_len = uint16_t(20 + payload.size());
        uint32_t pseudo = (src >> 16) + (src & 0xffff) + (dst >> 16) + (dst & 0xffff) + 6 + tcp_len;
        const uint16_t tcp_sum = checksum(p, tcp, tcp_len, pseudo);
        p[tcp + 16] = uint8_t(tcp_sum >> 8);
        p[tcp + 17] = uint8_t(tcp_sum);

        std::vector<uint8_t> rec;
        ++usec_;
        put32(rec, 1711850398);
        put32(rec, usec_ * 1000);
        put32(rec, uint32_t(p.size()));
        put32(rec, uint32_t(p.size()));
        std::fwrite(rec.data(), 1, rec.size(), file_);
        std::fwrite(p.data(), 1, p.size(), file_);
    }

    static constexpr uint16_t kClientPort = 40404;
    std::FILE* file_;
    uint16_t server_port_;
    uint32_t seq_[2] = {1000, 5000};
    uint16_t ip_id_ = 0;
    uint32_t usec_ = 0;
};

}  // namespace test
