// Typed mapping of UCI sections onto records. A table per section type names
// each option and the record field it fills; the field's type is the option's
// kind:
//   int32_t                    integer, base from the text (12, 0x0C, 014);
//                              a text that is not wholly a number leaves the field
//   std::string / optional<>   text, copied unchanged
//   std::vector<std::string>   list of texts; a plain option gives an empty list
// Options the table does not name, and sections of other types, are ignored.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "lib/uci/uci.h"

namespace uci {

template <class R>
struct field_map {
    const char* option;
    std::variant<int32_t R::*, std::string R::*, std::optional<std::string> R::*,
                 std::vector<std::string> R::*>
        field;
};

// Reads the whole text as a signed 32-bit number in the base its prefix gives
// (decimal, 0x hexadecimal, leading 0 octal). False, value untouched, otherwise.
bool parse_integer(std::string_view text, int32_t& value);

template <class R>
void apply_option(R& record, const field_map<R>& entry, const option& opt) {
    std::visit(
        [&](auto member) {
            using field_type = std::remove_reference_t<decltype(record.*member)>;
            if constexpr (std::is_same_v<field_type, std::vector<std::string>>) {
                record.*member = opt.is_list ? opt.values : std::vector<std::string>{};
            } else if (!opt.is_list) {
                if constexpr (std::is_same_v<field_type, int32_t>)
                    parse_integer(opt.values.front(), record.*member);
                else
                    record.*member = opt.values.front();
            }
        },
        entry.field);
}

// One record per section of `type`, in package order. Each record starts as R{}
// with the section's name in name_field; then every option the table names is
// applied (so a `name` entry in the table replaces the section name).
template <class R>
std::vector<R> map_sections(const package& pkg, std::string_view type,
                            std::span<const field_map<R>> table, std::string R::*name_field) {
    std::vector<R> records;
    for (const section& s : pkg.sections) {
        if (s.type != type) continue;
        R record{};
        record.*name_field = s.name;
        for (const option& opt : s.options)
            for (const field_map<R>& entry : table)
                if (opt.name == entry.option) apply_option(record, entry, opt);
        records.push_back(std::move(record));
    }
    return records;
}

}  // namespace uci
