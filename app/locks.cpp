#include "app/locks.h"

namespace app {

std::mutex value_store_lock;
std::mutex rf_data_lock;
std::mutex rf_log_lock;
std::mutex uart_lock;
std::mutex supervision_lock;
std::mutex comm_log_lock;
std::mutex fault_db_lock;
std::mutex system_log_lock;
std::mutex infoset_lock;
std::mutex infoset_write_lock;
std::mutex pending_reset_lock;

semaphore dcu_reset_sem{0};
semaphore infoset_ack_sem{0};

}  // namespace app
