#include "lookahead/step_stream.hpp"

#include <utility>

namespace couplize {

void StepStream::start(std::size_t nb_begin_gates) {
    const std::lock_guard<std::mutex> lock(mutex_);
    nb_begin_gates_ = nb_begin_gates;
}

void StepStream::publish_pending(const std::vector<SabreStep>& steps) {
    if (cancelled_.load(std::memory_order_relaxed)) throw RoutingCancelled();
    if (steps.size() == published_) return;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        pending_.insert(pending_.end(), steps.begin() + static_cast<std::ptrdiff_t>(published_),
                        steps.end());
    }
    published_ = steps.size();
    ready_.notify_one();
}

void StepStream::close(std::exception_ptr error) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        error_ = std::move(error);
    }
    ready_.notify_one();
}

StepStream::Take StepStream::take(std::vector<SabreStep>& batch, bool wait) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (wait) ready_.wait(lock, [&] { return !pending_.empty() || closed_; });
    if (pending_.empty()) return closed_ ? Take::ended : Take::none_yet;
    // The two buffers trade places: the producer's next batch reuses the consumer's last one.
    batch.clear();
    batch.swap(pending_);
    return Take::batch;
}

std::size_t StepStream::nb_begin_gates() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return nb_begin_gates_;
}

std::exception_ptr StepStream::error() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return error_;
}

}  // namespace couplize
