#pragma once
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "interfaces/ComponentInterface.h"
#include "motion/Pci7344.h"
#include "sim/board/flexsim_status.h"
#include "sim/board/SimBoard.h"
#include "sim/board/StageDescription.h"
#include "sipper/SipperData.h"
#include "sipper/SipperTask.h"
#include "tests/sipper/task_peers.h"
#include "utilities/Mutex.h"
#include "utilities/Timer.h"

// A sipper task on two simulated boards (linear: a stage of 200 mm per axis;
// rotary: nothing attached) with the four peers served in this process.
// Scale: 400 steps and 5 mm per revolution, 80 steps per mm on every axis.
class TaskTest : public ::testing::Test {
protected:
    static constexpr double STEPS_PER_MM = 80.0;
    static constexpr int32_t TRAVEL_STEPS = 16000;
    static constexpr double TIME_FACTOR = 100.0;
    static constexpr double TASK_STOP_WAIT_S = 20.0;

    // Places in mm (board coordinates, 0 where the board started or homed).
    const Vect3d wash1{10, 10, 30};
    const Vect3d wash2{20, 10, 30};
    const Vect3d wash3{30, 10, 30};
    const Vect3d plate_swap{50, 40, 5};
    const Vect3d ref0{10, 20, 40};
    const Vect3d ref1{10, 51.5, 40};  // last row, column 0
    const Vect3d ref2{59.5, 20, 40};  // row 0, last column
    const double safe_z = 10.0;

    virtual std::vector<int> durations() const { return {300, 150, 150}; }
    virtual bool serve_linear_owner() const { return true; }

    void SetUp() override {
        linear_number_ = SimBoard::create_unused(StageDescription::linear(TRAVEL_STEPS));
        ASSERT_GE(linear_number_, 0);
        rotary_number_ = SimBoard::create_unused(StageDescription::free_running());
        ASSERT_GE(rotary_number_, 0);
        linear_ = std::make_unique<SimBoard>(linear_number_);
        rotary_ = std::make_unique<SimBoard>(rotary_number_);
        ASSERT_TRUE(linear_->valid() && rotary_->valid());
        linear_->set_time_factor(TIME_FACTOR);
        rotary_->set_time_factor(TIME_FACTOR);
        peers_ = std::make_unique<TaskPeers>(serve_linear_owner() ? linear_number_ : -1, rotary_number_,
                                             durations());
        configure();
    }

    void TearDown() override {
        // The task's destructor waits for its body without a deadline; a body
        // that never notices the stop would hang the test silently.
        if (task_ != nullptr && task_->is_running()) {
            task_->request_stop();
            if (!wait_until_stopped(TASK_STOP_WAIT_S)) {
                ADD_FAILURE() << "the sipper task did not stop within " << TASK_STOP_WAIT_S
                              << " s of the stop request";
                remove_boards();
                TaskPeers::remove_all();
                std::fflush(stdout);
                std::_Exit(1);
            }
        }
        task_.reset();
        peers_.reset();
        linear_.reset();
        rotary_.reset();
        remove_boards();
    }

    void remove_boards() {
        for (int board : {linear_number_, rotary_number_}) {
            if (board < 0) continue;
            SimBoard::remove(board);
            Mutex::remove("pci7344-" + std::to_string(board) + "MUTEX");
        }
    }

    void configure() {
        data_.set_motion_param(0, Vect3d(15, 15, 10));
        data_.set_motion_param(1, Vect3d(2.5, 2.5, 1));
        data_.set_motion_param(2, Vect3d(15, 15, 10));
        data_.set_motion_param(3, Vect3d(200, 90, 120));
        data_.set_motion_param(4, Vect3d(-265, -270, -350));
        data_.set_motion_param(5, Vect3d(-75, -74, -60));
        data_.set_motion_param(6, Vect3d(50, 50, 55));
        data_.set_motion_param(7, Vect3d(15, 15, 10));
        for (int axis = 1; axis <= 3; ++axis)
            data_.set_axis_scale(axis, AxisScale{true, static_cast<uint8_t>(axis), 400, 5.0});
        data_.add_plate("test");
        data_.store_position(1, wash1);
        data_.store_position(2, wash2);
        data_.store_position(3, wash3);
        for (int i = 0; i < 4; ++i) data_.store_position(4 + i, Vect3d(40 + 5 * i, 10, 30));
        data_.store_position(8, plate_swap);
        data_.store_position(9, Vect3d(plate_swap.x - 15, plate_swap.y, plate_swap.z));
        data_.store_position(10, ref0);
        data_.store_position(11, ref1);
        data_.store_position(12, ref2);
        data_.store_position(13, Vect3d(0, 0, safe_z));
    }

    void make_task() { task_ = std::make_unique<SipperTask>(&data_); }

    // Starts `operation` and waits until the thread has ended.
    bool run_operation(int operation, double seconds = 30.0) {
        data_.set_operation(operation);
        if (!task_->start()) return false;
        return wait_until_stopped(seconds);
    }

    bool wait_until_stopped(double seconds) {
        Timer timer;
        timer.start();
        while (task_->is_running()) {
            if (timer.elapsed() > seconds) return false;
            sleep_ms(5);
        }
        flush_log();
        return true;
    }

    // Log lines travel through a queue: after this every line the task sent
    // before has been collected.
    void flush_log() {
        const std::string marker = "flush " + std::to_string(++flushes_);
        task_->task_log(marker);
        ASSERT_TRUE(peers_->sipper().wait_for_line(marker, 5000));
    }

    static int32_t steps(double mm) { return static_cast<int32_t>(mm * STEPS_PER_MM); }

    // The linear board's calls since the last clear, without "flex_" and
    // without the polls that only read the board.
    std::vector<std::string> moves_trace() const {
        std::vector<std::string> out;
        for (const SimTraceRecord& r : linear_->trace()) {
            std::string text = r.text.rfind("flex_", 0) == 0 ? r.text.substr(5) : r.text;
            if (text.rfind("start(", 0) == 0 || text.rfind("load_target_pos(", 0) == 0 ||
                text.rfind("stop_motion(", 0) == 0)
                out.push_back(text);
        }
        return out;
    }

    std::vector<std::string> trace_texts(const SimBoard& board) const {
        std::vector<std::string> out;
        for (const SimTraceRecord& r : board.trace())
            out.push_back(r.text.rfind("flex_", 0) == 0 ? r.text.substr(5) : r.text);
        return out;
    }

    int32_t board_position(int axis) const { return linear_->view().axes[axis].position; }

    SipperData data_;
    int flushes_ = 0;
    int linear_number_ = -1;
    int rotary_number_ = -1;
    std::unique_ptr<SimBoard> linear_;
    std::unique_ptr<SimBoard> rotary_;
    std::unique_ptr<TaskPeers> peers_;
    std::unique_ptr<SipperTask> task_;
};
