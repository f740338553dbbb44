// The locks and semaphores the threads of fpigate share. They are static
// objects, usable from program start. Where two are held: rf_data_lock before
// rf_log_lock; infoset_write_lock before infoset_lock; infoset_lock before
// supervision_lock, rf_data_lock or value_store_lock.
#pragma once

#include <mutex>
#include <semaphore>

namespace app {

extern std::mutex value_store_lock;    // value store updates and spontaneous sends
extern std::mutex rf_data_lock;        // recent RF data list
extern std::mutex rf_log_lock;         // RF data ring-buffer files
extern std::mutex uart_lock;           // the serial port, one reader or writer at a time
extern std::mutex supervision_lock;    // FPI contact table
extern std::mutex comm_log_lock;       // communication event log
extern std::mutex fault_db_lock;       // fault counter database
extern std::mutex system_log_lock;     // system event log
extern std::mutex infoset_lock;        // infoset state of every FPI
extern std::mutex infoset_write_lock;  // one infoset parameter write at a time
extern std::mutex pending_reset_lock;  // pending RESET commands

using semaphore = std::counting_semaphore<1 << 20>;
extern semaphore dcu_reset_sem;    // posted for a DCU power pulse
extern semaphore infoset_ack_sem;  // posted when an FPI acknowledges a parameter set

}  // namespace app
