#include "sim/board/BoardState.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>

#include "sim/board/BoardModel.h"
#include "sim/board/flexsim_status.h"

namespace {

const char* const FUNCTION_NAMES[FN_COUNT] = {
    "flex_set_stepper_loop_mode", "flex_load_acceleration", "flex_load_rpm",
    "flex_load_rpsps", "flex_load_target_pos", "flex_load_velocity",
    "flex_read_axis_status_rtn", "flex_reset_pos", "flex_set_op_mode",
    "flex_check_move_complete_status", "flex_load_scurve_time", "flex_start",
    "flex_stop_motion", "flex_enable_home_inputs", "flex_enable_limits",
    "flex_load_sw_lim_pos", "flex_read_limit_status_rtn", "flex_find_reference",
    "flex_wait_reference", "flex_enable_axis_limit", "flex_read_adc16_rtn",
    "flex_set_port", "flex_begin_store", "flex_end_store", "flex_flush_rdb",
    "flex_read_pos_rtn", "flex_get_error_description",
};

std::mutex cache_mutex;
std::map<int, std::shared_ptr<BoardMapping>> cache;

}  // namespace

const char* flex_function_name(int function) {
    if (function < 0 || function >= FN_COUNT) return nullptr;
    return FUNCTION_NAMES[function];
}

int flex_function_by_name(const std::string& name) {
    for (int i = 0; i < FN_COUNT; ++i) {
        if (name == FUNCTION_NAMES[i] || "flex_" + name == FUNCTION_NAMES[i]) return i;
    }
    return -1;
}

BoardMapping::BoardMapping(BoardState* state, uint64_t device, uint64_t inode)
    : state_(state), device_(device), inode_(inode) {}

BoardMapping::~BoardMapping() { munmap(state_, sizeof(BoardState)); }

std::string board_segment_name(int board) { return "/flexsim-board-" + std::to_string(board); }

int64_t monotonic_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

std::shared_ptr<BoardMapping> open_board(int board, int32_t* status) {
    *status = FLEX_ERR_NO_BOARD;
    if (board < 0 || board > 255) return nullptr;
    const std::string name = board_segment_name(board);
    int fd = shm_open(name.c_str(), O_RDWR, 0600);
    if (fd < 0) {
        forget_board(board);
        return nullptr;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        close(fd);
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> guard(cache_mutex);
        auto it = cache.find(board);
        if (it != cache.end() && it->second->device() == static_cast<uint64_t>(st.st_dev) &&
            it->second->inode() == static_cast<uint64_t>(st.st_ino)) {
            close(fd);
            *status = FLEX_OK;
            return it->second;
        }
    }
    // The creator sets the size and then publishes the ready word; wait for
    // both a little while, as a creator may be just behind us.
    const int64_t deadline = monotonic_ns() + 1000000000LL;
    while (st.st_size < static_cast<off_t>(sizeof(BoardState)) && monotonic_ns() < deadline) {
        usleep(1000);
        if (fstat(fd, &st) != 0) break;
    }
    if (st.st_size != static_cast<off_t>(sizeof(BoardState))) {
        close(fd);
        *status = st.st_size == 0 ? FLEX_ERR_NO_BOARD : FLEX_ERR_BOARD_LAYOUT;
        return nullptr;
    }
    void* p = mmap(nullptr, sizeof(BoardState), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (p == MAP_FAILED) return nullptr;
    auto* state = static_cast<BoardState*>(p);
    std::atomic_ref<uint32_t> ready(state->ready);
    while (ready.load(std::memory_order_acquire) != BOARD_READY_WORD &&
           monotonic_ns() < deadline) {
        usleep(1000);
    }
    if (ready.load(std::memory_order_acquire) != BOARD_READY_WORD ||
        state->layout_version != BOARD_LAYOUT_VERSION || state->size != sizeof(BoardState)) {
        munmap(p, sizeof(BoardState));
        *status = FLEX_ERR_BOARD_LAYOUT;
        return nullptr;
    }
    auto mapping = std::make_shared<BoardMapping>(state, static_cast<uint64_t>(st.st_dev),
                                                  static_cast<uint64_t>(st.st_ino));
    std::lock_guard<std::mutex> guard(cache_mutex);
    cache[board] = mapping;
    *status = FLEX_OK;
    return mapping;
}

void forget_board(int board) {
    std::lock_guard<std::mutex> guard(cache_mutex);
    cache.erase(board);
}

BoardLock::BoardLock(BoardState* state, bool advance) : state_(state), locked_(false) {
    int rc = pthread_mutex_lock(&state_->mutex);
    if (rc == EOWNERDEAD) {
        // A process died inside a call; the state is plain data that every
        // step leaves usable, so carry on with it.
        pthread_mutex_consistent(&state_->mutex);
        rc = 0;
    }
    locked_ = rc == 0;
    if (locked_ && advance) advance_board(*state_, monotonic_ns());
}

BoardLock::~BoardLock() {
    if (locked_) pthread_mutex_unlock(&state_->mutex);
}
