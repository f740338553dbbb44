#include "lib/iec104/types.h"

#include <array>
#include <cstddef>

namespace iec104 {
namespace {

constexpr TypeInfo kTypes[] = {
    {M_SP_NA_1, "M_SP_NA_1", Element::siq, false, false},
    {M_DP_NA_1, "M_DP_NA_1", Element::diq, false, false},
    {M_ME_NA_1, "M_ME_NA_1", Element::nva_qds, false, false},
    {M_ME_NB_1, "M_ME_NB_1", Element::sva_qds, false, false},
    {M_ME_NC_1, "M_ME_NC_1", Element::float_qds, false, false},
    {M_SP_TB_1, "M_SP_TB_1", Element::siq, true, false},
    {M_DP_TB_1, "M_DP_TB_1", Element::diq, true, false},
    {M_ME_TD_1, "M_ME_TD_1", Element::nva_qds, true, false},
    {M_ME_TE_1, "M_ME_TE_1", Element::sva_qds, true, false},
    {M_ME_TF_1, "M_ME_TF_1", Element::float_qds, true, false},
    {C_SC_NA_1, "C_SC_NA_1", Element::sco, false, true},
    {C_DC_NA_1, "C_DC_NA_1", Element::dco, false, true},
    {C_SE_NA_1, "C_SE_NA_1", Element::nva_qos, false, true},
    {C_SE_NB_1, "C_SE_NB_1", Element::sva_qos, false, true},
    {C_SE_NC_1, "C_SE_NC_1", Element::float_qos, false, true},
    {C_SC_TA_1, "C_SC_TA_1", Element::sco, true, true},
    {C_DC_TA_1, "C_DC_TA_1", Element::dco, true, true},
    {C_SE_TA_1, "C_SE_TA_1", Element::nva_qos, true, true},
    {C_SE_TB_1, "C_SE_TB_1", Element::sva_qos, true, true},
    {C_SE_TC_1, "C_SE_TC_1", Element::float_qos, true, true},
    {M_EI_NA_1, "M_EI_NA_1", Element::byte, false, true},
    {C_IC_NA_1, "C_IC_NA_1", Element::byte, false, true},
    {C_CI_NA_1, "C_CI_NA_1", Element::byte, false, true},
    {C_RD_NA_1, "C_RD_NA_1", Element::none, false, true},
    {C_CS_NA_1, "C_CS_NA_1", Element::none, true, true},
    {C_TS_NA_1, "C_TS_NA_1", Element::u16, false, true},
    {C_RP_NA_1, "C_RP_NA_1", Element::byte, false, true},
    {C_CD_NA_1, "C_CD_NA_1", Element::u16, false, true},
    {C_TS_TA_1, "C_TS_TA_1", Element::u16, true, true},
};

constexpr std::array<int8_t, 256> make_index() {
    std::array<int8_t, 256> index{};
    for (auto& i : index) i = -1;
    for (std::size_t i = 0; i < std::size(kTypes); ++i) index[kTypes[i].type] = int8_t(i);
    return index;
}
constexpr auto kIndex = make_index();

}  // namespace

const TypeInfo* type_info(uint8_t type) {
    const int i = kIndex[type];
    return i < 0 ? nullptr : &kTypes[i];
}

const char* type_name(uint8_t type) {
    const TypeInfo* info = type_info(type);
    return info ? info->name : "unknown";
}

int element_size(const TypeInfo& info) {
    int size = 0;
    switch (info.element) {
    case Element::siq:
    case Element::diq:
    case Element::sco:
    case Element::dco:
    case Element::byte: size = 1; break;
    case Element::u16: size = 2; break;
    case Element::nva_qds:
    case Element::sva_qds:
    case Element::nva_qos:
    case Element::sva_qos: size = 3; break;
    case Element::float_qds:
    case Element::float_qos: size = 5; break;
    case Element::none: size = 0; break;
    }
    return size + (info.time ? 7 : 0);
}

}  // namespace iec104
