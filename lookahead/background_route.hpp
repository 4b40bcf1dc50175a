#pragma once
#include <cstdint>
#include <thread>
#include <vector>

#include "lookahead/sabre.hpp"
#include "lookahead/step_stream.hpp"

namespace couplize {

// A SABRE routing on a thread of its own, its steps streamed to the caller's thread as they are
// made, so that the caller can turn them into output while the routing goes on.
class BackgroundRoute {
public:
    explicit BackgroundRoute(SabreRouter& router) : router_(router) {}
    // Cancels a routing still running and waits for its thread.
    ~BackgroundRoute();
    BackgroundRoute(const BackgroundRoute&) = delete;
    BackgroundRoute& operator=(const BackgroundRoute&) = delete;

    // Starts routing `gates` (see SabreRouter::route) on a new thread, which takes the vector's
    // contents over: the caller keeps the vector alive and leaves it alone until finish(). False,
    // with `gates` untouched, when no thread can be started.
    bool start(std::vector<std::vector<std::uint32_t>>& gates, std::uint32_t nb_logical);

    StepStream& stream() { return stream_; }

    // Waits for the routing to end and returns its result (every step, taken or not), or
    // rethrows its error.
    SabreResult finish();

private:
    SabreRouter& router_;
    StepStream stream_;
    SabreResult result_;
    std::thread thread_;
};

}  // namespace couplize
