#include "rf/frame.h"

#include <cstdio>

#include "rf/codings.h"

namespace rf {

int rf_frame_decode(const uint8_t* bytes, size_t length, rf_frame* out) {
    if (!bytes || !out || length < frame_overhead) return -1;
    size_t payload_len = length - frame_overhead;
    if (payload_len > max_payload_size) return -1;

    out->start = bytes[0];
    out->length = bytes[1];
    for (size_t i = 0; i < out->group.size(); ++i) out->group[i] = offset_decode(bytes[2 + i]);
    out->source_id = offset_decode(bytes[7]);
    out->destination_id = offset_decode(bytes[8]);
    out->command = bytes[9];
    out->payload = {};
    for (size_t i = 0; i < payload_len; ++i) out->payload[i] = bytes[10 + i];
    out->payload_len = uint8_t(payload_len);
    out->end = bytes[10 + payload_len];
    if (out->start != frame_start || out->end != frame_end) return -2;
    return 0;
}

int rf_payload_decode(const rf_frame& frame, rf_record& out) {
    const rf_command* row = rf_command_find(frame.command);
    if (!row) return -1;
    std::span<const uint8_t> wire(frame.payload.data(), frame.payload_len);
    rf_record decoded;
    int rc = row->decode(wire, decoded);
    if (rc == 0) out = decoded;
    return rc;
}

int rf_frame_build(rf_frame* out, const group_id& group, uint8_t source_id, uint8_t destination_id,
                   uint8_t command, const rf_record& record) {
    if (!out) return -1;
    rf_frame f;
    f.start = frame_start;
    f.group = group;
    f.source_id = source_id;
    f.destination_id = destination_id;
    f.command = command;
    for (const rf_command& row : rf_command_table) {
        if (row.code != command || !row.encode) continue;
        int n = row.encode(record, f.payload.data());
        if (n < 0) return -1;
        f.payload_len = uint8_t(n);
        break;
    }
    f.length = uint8_t(f.payload_len + 8);
    f.end = frame_end;
    *out = f;
    return 0;
}

int rf_frame_serialize(const rf_frame* frame, uint8_t* out, size_t* length) {
    if (!frame || !out || !length) return -1;
    size_t payload_len = frame->payload_len <= max_payload_size ? frame->payload_len : max_payload_size;
    size_t n = 0;
    out[n++] = frame->start;
    out[n++] = frame->length;
    for (uint8_t b : frame->group) out[n++] = offset_encode(b);
    out[n++] = offset_encode(frame->source_id);
    out[n++] = offset_encode(frame->destination_id);
    out[n++] = frame->command;
    for (size_t i = 0; i < payload_len; ++i) out[n++] = frame->payload[i];
    out[n++] = frame->end;
    *length = n;
    return 0;
}

void rf_frame_print(const rf_frame& frame) {
    const rf_command* row = rf_command_find(frame.command);
    if (!row) return;
    rf_record record;
    if (rf_payload_decode(frame, record) != 0) {
        std::printf("%s: payload too short (%u of %u bytes)\n", row->name, unsigned(frame.payload_len),
                    unsigned(row->payload_size));
        return;
    }
    row->print(row->name, record);
}

}  // namespace rf
