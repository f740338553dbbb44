// Type identifications, causes of transmission and the per-type element table.
#pragma once

#include <cstdint>

namespace iec104 {

enum TypeId : uint8_t {
    M_SP_NA_1 = 1,
    M_DP_NA_1 = 3,
    M_ME_NA_1 = 9,
    M_ME_NB_1 = 11,
    M_ME_NC_1 = 13,
    M_SP_TB_1 = 30,
    M_DP_TB_1 = 31,
    M_ME_TD_1 = 34,
    M_ME_TE_1 = 35,
    M_ME_TF_1 = 36,
    C_SC_NA_1 = 45,
    C_DC_NA_1 = 46,
    C_SE_NA_1 = 48,
    C_SE_NB_1 = 49,
    C_SE_NC_1 = 50,
    C_SC_TA_1 = 58,
    C_DC_TA_1 = 59,
    C_SE_TA_1 = 61,
    C_SE_TB_1 = 62,
    C_SE_TC_1 = 63,
    M_EI_NA_1 = 70,
    C_IC_NA_1 = 100,
    C_CI_NA_1 = 101,
    C_RD_NA_1 = 102,
    C_CS_NA_1 = 103,
    C_TS_NA_1 = 104,
    C_RP_NA_1 = 105,
    C_CD_NA_1 = 106,
    C_TS_TA_1 = 107,
};

enum Cot : uint8_t {
    COT_PERIODIC = 1,
    COT_BACKGROUND = 2,
    COT_SPONTANEOUS = 3,
    COT_INITIALIZED = 4,
    COT_REQUEST = 5,
    COT_ACTIVATION = 6,
    COT_ACTIVATION_CON = 7,
    COT_DEACTIVATION = 8,
    COT_DEACTIVATION_CON = 9,
    COT_ACTIVATION_TERMINATION = 10,
    COT_INTERROGATED_BY_STATION = 20,
    COT_UNKNOWN_TYPE_ID = 44,
    COT_UNKNOWN_COT = 45,
    COT_UNKNOWN_CA = 46,
    COT_UNKNOWN_IOA = 47,
};

// Quality descriptor bits (QDS; SIQ and DIQ use the upper four).
enum Quality : uint8_t {
    QUALITY_OVERFLOW = 0x01,
    QUALITY_BLOCKED = 0x10,
    QUALITY_SUBSTITUTED = 0x20,
    QUALITY_NON_TOPICAL = 0x40,
    QUALITY_INVALID = 0x80,
};

// How the element of a type (the object without its IOA) is laid out.
enum class Element : uint8_t {
    siq,        // single point + quality
    diq,        // double point + quality
    nva_qds,    // normalized value, QDS
    sva_qds,    // scaled value, QDS
    float_qds,  // short floating point, QDS
    sco,        // single command
    dco,        // double command
    nva_qos,    // normalized set-point, QOS
    sva_qos,    // scaled set-point, QOS
    float_qos,  // short floating-point set-point, QOS
    byte,       // one qualifier octet: QOI, QCC, QRP, COI
    u16,        // 16-bit field: TSC, CP16 delay, the fixed test pattern
    none,       // IOA only (read command)
};

struct TypeInfo {
    uint8_t type;
    const char* name;
    Element element;
    bool time;           // a CP56Time2a follows the element
    bool single_object;  // at most one object per ASDU
};

// The entry of a type this stack knows, or nullptr.
const TypeInfo* type_info(uint8_t type);
// "M_SP_NA_1" etc., or "TYPE_<n>" style "unknown" for types outside the table.
const char* type_name(uint8_t type);
// Octets of the element without IOA, time tag included.
int element_size(const TypeInfo& info);

}  // namespace iec104
