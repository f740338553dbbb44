#include "rf/radio.h"

#include <sys/eventfd.h>

namespace rf {

radio::radio() : reader_wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

}  // namespace rf
