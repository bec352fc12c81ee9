#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "sipper/SipperData.h"

namespace {

// The command side reshapes plates (new map entries, type changes, taught
// references) while the worker thread copies the active configuration. Each
// copy must be one whole state: a grid that matches its type and a reference
// whose components were written together. Without the record's lock the
// copy races the map insertions and the type rule (and ThreadSanitizer, which
// runs this label, reports it).
TEST(SipperDataThreads, PlateCopiesAreWholeWhileAnotherThreadChangesPlates) {
    SipperData data;
    data.add_plate("p0");
    std::atomic<bool> done{false};
    std::atomic<int> bad{0};

    std::thread writer([&] {
        for (int i = 0; i < 20000; ++i) {
            data.add_plate("p" + std::to_string(i % 13));
            data.store_position(POSITION_PLATE_REF1, Vect3d(i, i, i));
            data.set_active_plate_type(i % 2 ? 384 : 96);
            data.set_state(i % 3);
        }
        done = true;
    });

    int copies = 0;
    while (!done || copies == 0) {
        PlateConfig config = data.active_plate_config();
        bool grid_ok = (config.type == 96 && config.rows == 8 && config.columns == 12) ||
                       (config.type == 384 && config.rows == 16 && config.columns == 24);
        const Vect3d& ref = config.position1;
        bool ref_ok = ref.x == ref.y && ref.y == ref.z && ref.w == 1.0;
        if (!grid_ok || !ref_ok) ++bad;
        (void)data.configured();
        ++copies;
    }
    writer.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_GT(copies, 0);
}

}  // namespace
