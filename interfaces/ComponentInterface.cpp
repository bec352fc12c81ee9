#include "interfaces/ComponentInterface.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "utilities/Exception.h"

namespace {

const char* const PROPERTIES_SUFFIX = "_properties";
const char* const QUEUE_SUFFIX = "_cmdQ";
const char* const START_SIGNAL_SUFFIX = "_action_start_signal";
const char* const DONE_SIGNAL_SUFFIX = "_action_done_signal";
const char* const ACTION_MUTEX_SUFFIX = "_action_mutex";
const char* const SERVER_MARKER_SUFFIX = "unique";
constexpr std::size_t MAX_OBJECT_NAME = 250;

}  // namespace

ComponentInterface::ComponentInterface(const std::string& name) : name_(name) {}

ComponentInterface::~ComponentInterface()
{
    if (done_signal_)
        done_signal_->release();
    close();
}

void ComponentInterface::add_table(const InterfaceTable& table)
{
    if (table.block_offset != properties_size_)
        throw Exception("ComponentInterface: block of table " + std::string(table.name) +
                        " does not start where the properties end");
    tables_.push_back(&table);
    properties_size_ = table.block_end();
    for (const MethodSpec& m : table.methods)
        method_ids_[std::string(m.name)] = m.id;
}

bool ComponentInterface::open()
{
    if (connected_)
        return true;
    error_.clear();
    try {
        const std::string problem = channel_name_problem(name_);
        if (!problem.empty()) {
            error_ = "interface \"" + name_ + "\": " + problem;
            return false;
        }
        if (!properties_.open(name_ + PROPERTIES_SUFFIX, properties_size_)) {
            error_ = properties_.error();
        } else if (properties_.mapped_size() < properties_size_ &&
                   !(grows_properties_ && properties_.grow(properties_size_))) {
            // Made for a smaller interface: this side's result slots would
            // lie outside it, and its queries would read nothing but zeros.
            // A server grows it instead (clients made it before it started);
            // a client may not, as a larger layout is no proof of the server's.
            error_ = "the existing properties area \"" + name_ + PROPERTIES_SUFFIX + "\" is " +
                     std::to_string(properties_.mapped_size()) + " bytes, smaller than the " +
                     std::to_string(properties_size_) + " bytes this interface needs; not used" +
                     (grows_properties_ ? " (" + properties_.error() + ")" : "");
        } else if (!queue_.open(name_ + QUEUE_SUFFIX, queue_size_)) {
            error_ = queue_.error();
        } else {
            start_signal_ = std::make_unique<Semaphore>(name_ + START_SIGNAL_SUFFIX, 0, START_SIGNAL_MAXIMUM);
            done_signal_ = std::make_unique<Semaphore>(name_ + DONE_SIGNAL_SUFFIX, 0, DONE_SIGNAL_MAXIMUM);
            action_mutex_ = std::make_unique<Mutex>(name_ + ACTION_MUTEX_SUFFIX);
            if (!start_signal_->valid())
                error_ = "start signal: " + start_signal_->error();
            else if (!done_signal_->valid())
                error_ = "done signal: " + done_signal_->error();
            else if (!action_mutex_->valid())
                error_ = "action mutex: " + action_mutex_->error();
        }
        if (!error_.empty()) {
            close();
            error_ = "interface \"" + name_ + "\" cannot be opened: " + error_;
            return false;
        }
        if (properties_.created())
            set_timeout(CREATOR_TIMEOUT_MS);
        connected_ = true;
    } catch (const std::exception& e) {
        close();
        error_ = "interface \"" + name_ + "\" cannot be opened: " + e.what();
    } catch (...) {
        close();
        error_ = "interface \"" + name_ + "\" cannot be opened";
    }
    return connected_;
}

std::string ComponentInterface::channel_name_problem(const std::string& name)
{
    std::string problem = SharedMemory::name_problem(name);
    // The longest object name decides whether the name is too long.
    if (problem.empty() && !SharedMemory::name_problem(name + START_SIGNAL_SUFFIX).empty())
        problem = "the name is longer than " + std::to_string(MAX_OBJECT_NAME - std::strlen(START_SIGNAL_SUFFIX)) +
                  " characters (the name of its object " + START_SIGNAL_SUFFIX + " would exceed " +
                  std::to_string(MAX_OBJECT_NAME) + ")";
    return problem;
}

void ComponentInterface::close()
{
    connected_ = false;
    action_mutex_.reset();
    done_signal_.reset();
    start_signal_.reset();
    queue_.close();
    properties_.close();
}

std::uint32_t ComponentInterface::header_word(std::uint32_t offset) const
{
    if (!properties_.is_open() || properties_.mapped_size() < PROPERTIES_HEADER_SIZE)
        return 0;
    // The words are shared with other processes without a lock; read them
    // as single atomic words so that no torn value is ever seen.
    auto* word = reinterpret_cast<std::uint32_t*>(properties_.base() + offset);
    return std::atomic_ref<std::uint32_t>(*word).load(std::memory_order_acquire);
}

void ComponentInterface::set_header_word(std::uint32_t offset, std::uint32_t value)
{
    if (!properties_.is_open() || properties_.mapped_size() < PROPERTIES_HEADER_SIZE)
        return;
    auto* word = reinterpret_cast<std::uint32_t*>(properties_.base() + offset);
    std::atomic_ref<std::uint32_t>(*word).store(value, std::memory_order_release);
}

std::uint32_t ComponentInterface::call_counter() const { return header_word(CALL_COUNTER_OFFSET); }
void ComponentInterface::set_call_counter(std::uint32_t value) { set_header_word(CALL_COUNTER_OFFSET, value); }
std::uint32_t ComponentInterface::completed_call() const { return header_word(COMPLETED_CALL_OFFSET); }
void ComponentInterface::set_completed_call(std::uint32_t value) { set_header_word(COMPLETED_CALL_OFFSET, value); }
std::uint32_t ComponentInterface::timeout() const { return header_word(TIMEOUT_OFFSET); }
void ComponentInterface::set_timeout(std::uint32_t milliseconds) { set_header_word(TIMEOUT_OFFSET, milliseconds); }

std::uint32_t ComponentInterface::next_call_id()
{
    const std::uint32_t id = call_counter() + 1;
    set_call_counter(id);
    return id;
}

int ComponentInterface::method_id(std::string_view method_name) const
{
    auto it = method_ids_.find(method_name);
    return it == method_ids_.end() ? -1 : it->second;
}

const MethodSpec* ComponentInterface::find_method(std::uint16_t id) const
{
    for (auto it = tables_.rbegin(); it != tables_.rend(); ++it)
        if (const MethodSpec* m = (*it)->find(id))
            return m;
    return nullptr;
}

bool ComponentInterface::write_slot(const Field& slot, std::int32_t value)
{
    if (slot.type != FieldType::i32)
        method_table_error("integer written into a slot of another type");
    return properties_.locked_write(slot.offset, &value, 4);
}

bool ComponentInterface::write_slot(const Field& slot, double value)
{
    if (slot.type != FieldType::f64)
        method_table_error("real written into a slot of another type");
    return properties_.locked_write(slot.offset, &value, 8);
}

bool ComponentInterface::write_slot(const Field& slot, std::string_view text)
{
    if (slot.type != FieldType::string)
        method_table_error("text written into a slot of another type");
    // Characters and the NUL only: the rest of the slot keeps older content.
    std::string field(text.substr(0, std::min<std::size_t>(text.size(), STRING_FIELD_SIZE - 1)));
    return properties_.locked_write(slot.offset, field.c_str(), field.size() + 1);
}

bool ComponentInterface::read_slot(const Field& slot, std::int32_t& value) const
{
    if (slot.type != FieldType::i32)
        method_table_error("integer read from a slot of another type");
    return properties_.locked_read(slot.offset, &value, 4);
}

bool ComponentInterface::read_slot(const Field& slot, double& value) const
{
    if (slot.type != FieldType::f64)
        method_table_error("real read from a slot of another type");
    return properties_.locked_read(slot.offset, &value, 8);
}

bool ComponentInterface::read_slot(const Field& slot, std::string& text) const
{
    if (slot.type != FieldType::string)
        method_table_error("text read from a slot of another type");
    char field[STRING_FIELD_SIZE];
    if (!properties_.locked_read(slot.offset, field, STRING_FIELD_SIZE))
        return false;
    field[STRING_FIELD_SIZE - 1] = '\0';
    text = field;
    return true;
}

std::string ComponentInterface::server_marker_name(const std::string& name)
{
    return name + SERVER_MARKER_SUFFIX;
}

std::vector<std::string> ComponentInterface::object_names(const std::string& name)
{
    return {name + PROPERTIES_SUFFIX,
            name + PROPERTIES_SUFFIX + "mutex",
            name + QUEUE_SUFFIX,
            name + QUEUE_SUFFIX + "mutex",
            name + START_SIGNAL_SUFFIX,
            name + DONE_SIGNAL_SUFFIX,
            name + ACTION_MUTEX_SUFFIX,
            server_marker_name(name)};
}

bool ComponentInterface::remove_objects(const std::string& name)
{
    bool any = false;
    any |= SharedMemory::remove(name + PROPERTIES_SUFFIX);
    any |= SharedMemory::remove(name + QUEUE_SUFFIX);
    any |= Semaphore::remove(name + START_SIGNAL_SUFFIX);
    any |= Semaphore::remove(name + DONE_SIGNAL_SUFFIX);
    any |= Mutex::remove(name + ACTION_MUTEX_SUFFIX);
    any |= Semaphore::remove(server_marker_name(name));
    return any;
}
