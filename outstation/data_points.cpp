#include "outstation/data_points.h"

#include "outstation/station.h"

namespace outstation {

void rtu_ioa_map_publish(station& st, std::span<const config::fpi_iec104_ioa> points, FILE* out) {
    st.rtu_ioa_map_ready.store(false, std::memory_order_release);  // a gateway started again
    rtu_ioa_mapping_build(st.rtu_ioa_map, points, out);
    st.rtu_ioa_map_ready.store(true, std::memory_order_release);
}

void data_point_table_build(data_point_table& t, std::span<const config::fpi_iec104_ioa> points, FILE* out) {
    t.points.clear();
    for (const config::fpi_iec104_ioa& p : points) {
        auto [it, added] = t.points.emplace(data_point_key(p.ioa, p.type_id), &p);
        if (!added)
            std::fprintf(out, "Duplicate FPI data point '%s' (IOA %d, type %d): commands and parameters go to '%s'\n",
                         p.name.c_str(), p.ioa, p.type_id, it->second->name.c_str());
    }
}

void rtu_ioa_mapping_build(rtu_ioa_mapping& m, std::span<const config::fpi_iec104_ioa> points, FILE* out) {
    std::fprintf(out, "Creating RTU IOA mapping list\n");
    for (int id = 1; id <= slave_count; ++id) {
        slave_node& node = m.nodes[size_t(id - 1)];
        node.slave_id = id;
        node.points.clear();
        for (const config::fpi_iec104_ioa& p : points) {
            if (int(node.points.size()) == max_slave_points) break;
            if (p.slave_id == id) node.points.push_back({p.ioa, p.type_id});
        }
        std::fprintf(out, "[Slave %d] %d elements added to list index %d\n", id, int(node.points.size()), id - 1);
    }
}

const config::fpi_iec104_ioa* data_point_lookup(const station& st, int32_t ioa, int32_t type_id) {
    auto it = st.fpi_data_points.points.find(data_point_key(ioa, type_id));
    return it == st.fpi_data_points.points.end() ? nullptr : it->second;
}

const slave_node* slave_point_list(const station& st, int slave_id) {
    if (slave_id < 1 || slave_id > slave_count || !st.rtu_ioa_map_ready.load(std::memory_order_acquire))
        return nullptr;
    return &st.rtu_ioa_map.nodes[size_t(slave_id - 1)];
}

}  // namespace outstation
