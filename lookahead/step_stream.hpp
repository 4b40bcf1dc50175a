#pragma once
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <vector>

#include "lookahead/sabre.hpp"

namespace couplize {

// Thrown inside a routing whose consumer stopped taking its steps (see StepStream::cancel).
class RoutingCancelled : public std::exception {
public:
    const char* what() const noexcept override { return "SABRE routing cancelled"; }
};

// The steps of a routing handed to another thread while the routing runs: the router publishes
// what it has appended so far in batches, the consumer takes them in order. The consumer can then
// build its output beside the routing instead of after it.
class StepStream {
public:
    // Steps published at once: the lock is taken once per batch, not once per step.
    static constexpr std::size_t kBatch = 1024;

    enum class Take { batch, none_yet, ended };

    // Producer. The first `nb_begin_gates` steps are the begin gates (see SabreResult).
    void start(std::size_t nb_begin_gates);
    // Producer. The steps of `steps` after those already published are final: publishes them
    // when a batch is pending, or all of them. Throws RoutingCancelled once the consumer cancelled.
    void publish(const std::vector<SabreStep>& steps, bool all = false) {
        if (!all && steps.size() - published_ < kBatch) return;
        publish_pending(steps);
    }
    // Producer. No more steps: the routing ended, with `error` when it failed.
    void close(std::exception_ptr error = nullptr);

    // Consumer. Replaces `batch` with the steps published since the last take, in order. When
    // none are ready, waits for them if `wait`, else returns none_yet; `ended` once the stream
    // is closed and everything was taken.
    Take take(std::vector<SabreStep>& batch, bool wait);
    // Consumer. The begin gates' count, once a batch was taken.
    std::size_t nb_begin_gates() const;
    // Consumer. The routing should stop: its next publish throws RoutingCancelled.
    void cancel() { cancelled_.store(true, std::memory_order_relaxed); }
    // The routing's error, once closed.
    std::exception_ptr error() const;

private:
    void publish_pending(const std::vector<SabreStep>& steps);

    std::size_t published_ = 0;  // read and written by the producer only
    std::atomic<bool> cancelled_{false};
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::vector<SabreStep> pending_;  // published, not taken yet
    std::size_t nb_begin_gates_ = 0;
    bool closed_ = false;
    std::exception_ptr error_;
};

}  // namespace couplize
