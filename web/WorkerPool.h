#pragma once
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// A few threads for the request work that calls the sipper (a call can wait
// seconds for it), so that the server's I/O thread never blocks. The queue
// is bounded: a full pool refuses a task at once rather than letting work
// pile up without end.
//
//   WorkerPool pool(2, 64);
//   if (!pool.post([=] { exchange->respond(status()); })) answer 503;
class WorkerPool {
public:
    WorkerPool(std::size_t threads, std::size_t queue_limit);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // False when the queue is full or the pool has stopped.
    bool post(std::function<void()> task);
    // Drops what is still queued and joins the threads.
    void stop();

private:
    void run();

    const std::size_t queue_limit_;
    std::mutex guard_;
    std::condition_variable ready_;
    std::deque<std::function<void()>> tasks_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};
