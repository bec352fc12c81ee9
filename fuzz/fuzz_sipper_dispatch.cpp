// Feeds raw command messages to the sipper's interface server: any length,
// any method id, any bytes. Every message is handed to dispatch() as it is
// and, padded to a whole number of words with its length word set, pushed
// through the command queue and served by one service step, the road a
// message from another process takes. Nothing may crash or read outside a
// message, and no command handler may let an exception out: in the running
// process that would end the main loop and leave the interface unserved.
//
// The sipper runs in a scratch directory with the example configuration, in
// its CREATED state (no boards, no worker thread). Input layout: a sequence
// of messages, each taking as many bytes as its own length word says (at
// least one), the last one cut where the input ends.
//
// The target works in its scratch directory: give corpus directories and the
// artifact prefix as absolute paths (scripts/fuzz does).
#include <dirent.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include "interfaces/ComponentMethods.h"
#include "interfaces/InterfaceServer.h"
#include "interfaces/Message.h"
#include "sipper/Sipper.h"
#include "utilities/Exception.h"

namespace fs = std::filesystem;

namespace {

class FuzzSipper : public Sipper {
public:
    using Sipper::Sipper;
    InterfaceServer* interface_server() const { return server(); }
};

FuzzSipper* sipper = nullptr;
std::string sandbox;
std::set<std::string> shipped;
unsigned long runs = 0;

void remove_sandbox()
{
    std::error_code ec;
    if (!sandbox.empty())
        fs::remove_all(sandbox, ec);
}

void restore_sandbox()
{
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(sandbox, ec))
        if (shipped.count(entry.path().filename().string()) == 0)
            fs::remove_all(entry.path(), ec);
    for (const std::string& name : shipped)
        fs::copy_file(fs::path(SIPPER_SOURCE_DIR) / "examples" / name, fs::path(sandbox) / name,
                      fs::copy_options::overwrite_existing, ec);
}

// The configuration commands take a file path from the message: keep it a
// plain file name in the scratch directory, so that the fuzzer never reads
// devices or writes and deletes files elsewhere. An empty path stays empty
// (it means the loaded configuration file).
void confine_path(std::vector<std::uint8_t>& bytes)
{
    using namespace component_methods;
    if (bytes.size() < 5 || wire::load_u16(bytes.data() + 2) > LOAD_CONFIG ||
        wire::load_u16(bytes.data() + 2) < SAVE_CONFIG || bytes[4] == 0)
        return;
    const std::size_t end = std::min<std::size_t>(bytes.size(), 4 + STRING_FIELD_SIZE);
    for (std::size_t i = 4; i < end; ++i)
        if (bytes[i] == '/' || bytes[i] == '\\')
            bytes[i] = '_';
    bytes[4] = 'f';
}

void serve(const std::uint8_t* data, std::size_t size)
{
    InterfaceServer& server = *sipper->interface_server();

    std::vector<std::uint8_t> raw(data, data + size);
    confine_path(raw);
    server.dispatch(Message(raw));

    std::vector<std::uint8_t> padded(raw);
    padded.resize(std::max<std::size_t>(4, (padded.size() + 3) / 4 * 4), 0);
    if (padded.size() > 0xFFFF)
        return;
    wire::store_u16(padded.data(), static_cast<std::uint16_t>(padded.size()));
    if (!server.queue().push(Message(padded)))
        std::abort();
    server.start_signal()->release();
    server.service();
    if (server.queue().count() != 0)
        std::abort();  // one service step takes the one queued message
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    char tmpl[] = "/tmp/fuzz_sipper_XXXXXX";
    if (::mkdtemp(tmpl) == nullptr)
        std::abort();
    sandbox = tmpl;
    std::atexit(remove_sandbox);
    shipped = {"sipper.cfg", "plate96.platecfg", "plate384.platecfg"};
    restore_sandbox();
    if (::chdir(sandbox.c_str()) != 0)
        std::abort();

    const std::string name = "fuzz_sipper_" + std::to_string(::getpid());
    try {
        sipper = new FuzzSipper(name, "/dev/null", sandbox + "/sipper.cfg");
    } catch (const Exception& e) {
        std::cerr << "fuzz_sipper_dispatch: the sipper cannot be built: " << e.message() << "\n";
        std::abort();
    }
    if (sipper->interface_server() == nullptr || !sipper->interface_server()->connected())
        std::abort();
    // The open channel keeps working once its names are gone, and nothing is
    // left in /dev/shm however the fuzzer ends.
    ComponentInterface::remove_objects(name);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::size_t at = 0;
    try {
        while (at < size) {
            std::size_t length = size - at >= 2 ? wire::load_u16(data + at) : 1;
            length = std::min(std::max<std::size_t>(length, 1), size - at);
            serve(data + at, length);
            at += length;
        }
    } catch (const Exception& e) {
        std::cerr << "fuzz_sipper_dispatch: a command let an Exception out: " << e.message() << "\n";
        std::abort();
    } catch (const std::exception& e) {
        std::cerr << "fuzz_sipper_dispatch: a command let an exception out: " << e.what() << "\n";
        std::abort();
    }
    // Commands rewrite and add files; start every so often from the shipped set.
    if (++runs % 1000 == 0)
        restore_sandbox();
    return 0;
}
