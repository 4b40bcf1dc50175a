#include "lookahead/background_route.hpp"

#include <exception>
#include <system_error>
#include <utility>

namespace couplize {

BackgroundRoute::~BackgroundRoute() {
    if (!thread_.joinable()) return;
    stream_.cancel();
    thread_.join();
}

bool BackgroundRoute::start(std::vector<std::vector<std::uint32_t>>& gates,
                            std::uint32_t nb_logical) {
    try {
        thread_ = std::thread([this, &gates, nb_logical] {
            try {
                result_ = router_.route(std::move(gates), nb_logical, {}, &stream_);
                stream_.close();
            } catch (...) {
                stream_.close(std::current_exception());
            }
        });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

SabreResult BackgroundRoute::finish() {
    thread_.join();
    if (std::exception_ptr error = stream_.error()) std::rethrow_exception(error);
    return std::move(result_);
}

}  // namespace couplize
