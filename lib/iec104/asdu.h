// ASDU model and codec. An ASDU keeps its header fields and its encoded
// information objects; objects are added and read through the per-type element
// table, with the application layer parameters handed to every call.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "lib/iec104/cp56time2a.h"
#include "lib/iec104/types.h"

namespace iec104 {

// Largest ASDU an APDU can carry (253 octets of APDU length minus 4 of control).
constexpr int kMaxAsduSize = 249;
constexpr int kMaxObjects = 127;

struct AppLayerParameters {
    int size_of_cot = 2;  // 1, or 2 with the originator address
    int originator_address = 0;
    int size_of_ca = 2;   // 1 or 2
    int size_of_ioa = 3;  // 1, 2 or 3
    int max_size_of_asdu = kMaxAsduSize;
};

bool valid(const AppLayerParameters& p);
inline int header_size(const AppLayerParameters& p) { return 2 + p.size_of_cot + p.size_of_ca; }
inline uint16_t broadcast_ca(const AppLayerParameters& p) { return p.size_of_ca == 1 ? 0xff : 0xffff; }

// One information object; which fields a type uses:
//   value     SPI (0/1), DPI (0..3), NVA/SVA (int16), SCS, DCS, QOI/QCC/QRP/COI, TSC, CP16
//   real      short floating-point value
//   quality   SIQ/DIQ flags (upper four bits) or QDS
//   qualifier QU of SCO/DCO, QL of QOS
//   select    S/E of a command
//   time      CP56Time2a of time-tagged types
struct InformationObject {
    uint32_t ioa = 0;
    int32_t value = 0;
    float real = 0;
    uint8_t quality = 0;
    uint8_t qualifier = 0;
    bool select = false;
    Cp56Time2a time{};
    bool operator==(const InformationObject&) const = default;
};

struct Asdu {
    uint8_t type = 0;
    bool sequence = false;
    uint8_t count = 0;  // number of objects, 0..127
    uint8_t cot = 0;    // cause, 0..63
    bool negative = false;
    bool test = false;
    uint8_t oa = 0;
    uint16_t ca = 0;
    uint8_t payload_size = 0;  // encoded objects
    std::array<uint8_t, kMaxAsduSize> payload{};
};

// An empty ASDU of that type; the originator address comes from the parameters.
Asdu make_asdu(const AppLayerParameters& p, uint8_t type, bool sequence, uint8_t cot, uint16_t ca);

// Appends an object. Refuses (false, ASDU unchanged) when the type is unknown,
// the type takes one object and one is there, 127 objects are there, a
// sequence IOA is not first + count, the IOA does not fit its octets, or the
// object would pass max_size_of_asdu.
bool add_object(Asdu& asdu, const AppLayerParameters& p, const InformationObject& object);

// How many objects of that type one ASDU holds at most under these
// parameters, as a sequence (consecutive IOAs, the first one written) or with
// an IOA per object: what add_object accepts into an empty ASDU before it
// refuses. 0 for an unknown type or when not even one fits.
int object_capacity(const AppLayerParameters& p, uint8_t type, bool sequence);

// Object `index` (IOA first + index in a sequence); nothing if out of range or
// the type is unknown.
std::optional<InformationObject> get_object(const Asdu& asdu, const AppLayerParameters& p, int index);

// Writes the ASDU; returns the octets written, 0 if `out` is too small.
size_t encode_asdu(const Asdu& asdu, const AppLayerParameters& p, std::span<uint8_t> out);

enum class DecodeError {
    ok,
    too_short,        // less than a header
    too_long,         // more than an ASDU can hold
    unknown_type,     // header and payload are filled in, objects cannot be read
    length_mismatch,  // payload size does not match the object count
};
const char* to_string(DecodeError e);

// Decodes one ASDU; never reads outside `in`.
DecodeError decode_asdu(std::span<const uint8_t> in, const AppLayerParameters& p, Asdu& out);

// Normalized value <-> 16-bit: clamp to [-1, 32767/32768], scale by 32768,
// round half away from zero; back by dividing by 32768.
int16_t normalized_from_float(float f);
float normalized_to_float(int16_t v);

}  // namespace iec104
