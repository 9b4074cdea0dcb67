#include "tick_cache_writer.hpp"

#include <nanobind/stl/string.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "common/py_console.hpp"
#include "tick_frames.hpp"

namespace vkb::py {

namespace {

thread_local int deferring_depth = 0;

void write_stamp(const std::string& cache_path, const nb::object& stamp) {
    if (stamp.is_none()) return;
    const std::string path = stamp_path(cache_path), temp = temp_path_beside(path);
    try {
        {
            std::ofstream out(temp, std::ios::binary | std::ios::trunc);
            out << nb::cast<std::string>(stamp);
            if (!out.flush()) throw std::runtime_error("無法寫入 Tick 來源記錄: " + temp);
        }
        std::filesystem::rename(temp, path);
    } catch (...) {
        std::error_code ignored;
        std::filesystem::remove(temp, ignored);
        throw;
    }
}

}  // namespace

std::string stamp_path(const std::string& cache_path) { return cache_path + ".source"; }

void write_cache_day(const nb::object& frame, const std::string& path, const nb::object& stamp) {
    write_csv_atomically(frame, path);
    write_stamp(path, stamp);
}

void TickCacheWriter::hold() {
    std::lock_guard lock(mutex_);
    ++holds_;
}

void TickCacheWriter::release() {
    std::lock_guard lock(mutex_);
    if (--holds_ == 0) work_.notify_all();
}

void TickCacheWriter::submit(Job&& job) {
    {
        std::lock_guard lock(mutex_);
        if (!closed_) {
            jobs_.push_back(std::move(job));
            if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
            work_.notify_all();
            return;
        }
    }
    write(job);
}

bool TickCacheWriter::pending_locked(const std::string& path) const {
    if (path.empty()) return !jobs_.empty() || !writing_.empty();
    if (writing_ == path) return true;
    for (const Job& job : jobs_)
        if (job.path == path) return true;
    return false;
}

void TickCacheWriter::wait_for(const std::string& path) {
    {
        std::lock_guard lock(mutex_);
        if (!pending_locked(path)) return;
    }
    nb::gil_scoped_release unlocked;
    std::unique_lock lock(mutex_);
    ++waiting_;
    work_.notify_all();
    idle_.wait(lock, [&] { return !pending_locked(path); });
    --waiting_;
}

void TickCacheWriter::shut_down() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        work_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
    std::lock_guard lock(mutex_);
    closed_ = true;
}

void TickCacheWriter::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        work_.wait(lock, [&] { return stopping_ || (!jobs_.empty() && (holds_ == 0 || waiting_ > 0)); });
        if (jobs_.empty()) return;
        Job job = std::move(jobs_.front());
        jobs_.pop_front();
        writing_ = job.path;
        lock.unlock();
        {
            nb::gil_scoped_acquire gil;
            write(job);
            job.frame.reset();
            job.stamp.reset();
        }
        lock.lock();
        writing_.clear();
        idle_.notify_all();
    }
}

void TickCacheWriter::write(Job& job) {
    std::string failure;
    try {
        write_cache_day(job.frame, job.path, job.stamp);
    } catch (const nb::python_error& e) {
        failure = nb::cast<std::string>(nb::str(e.value()));
    } catch (const std::exception& e) {
        failure = e.what();
    }
    if (!failure.empty() && !console_quiet())
        console_print("[red]無法寫入 " + job.code + " " + job.date + " 的 Tick 快取, 錯誤訊息: " + failure + "[/red]");
}

TickCacheWriter& tick_cache_writer() {
    // Never destroyed: interpreter exit shuts it down while Python is whole.
    static auto* writer = new TickCacheWriter();
    return *writer;
}

DeferredCacheWrites::DeferredCacheWrites() : outer_(deferring_depth++ == 0) {
    if (outer_) tick_cache_writer().hold();
}

DeferredCacheWrites::~DeferredCacheWrites() {
    --deferring_depth;
    if (outer_) tick_cache_writer().release();
}

bool DeferredCacheWrites::active() { return deferring_depth > 0; }

}  // namespace vkb::py
