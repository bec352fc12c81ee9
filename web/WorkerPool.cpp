#include "web/WorkerPool.h"

WorkerPool::WorkerPool(std::size_t threads, std::size_t queue_limit) : queue_limit_(queue_limit)
{
    for (std::size_t i = 0; i < threads; ++i)
        threads_.emplace_back([this] { run(); });
}

WorkerPool::~WorkerPool()
{
    stop();
}

bool WorkerPool::post(std::function<void()> task)
{
    {
        std::lock_guard<std::mutex> hold(guard_);
        if (stopping_ || tasks_.size() >= queue_limit_)
            return false;
        tasks_.push_back(std::move(task));
    }
    ready_.notify_one();
    return true;
}

void WorkerPool::stop()
{
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard<std::mutex> hold(guard_);
        stopping_ = true;
        dropped.swap(tasks_);
    }
    ready_.notify_all();
    for (std::thread& t : threads_)
        if (t.joinable())
            t.join();
}

void WorkerPool::run()
{
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock<std::mutex> hold(guard_);
            ready_.wait(hold, [this] { return stopping_ || !tasks_.empty(); });
            if (stopping_)
                return;
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        task();
    }
}
