#pragma once
// Safe hand-over of an object that one thread replaces while others use it
// (a port or a monitor that a CFG command creates or swaps). Readers take a
// snapshot and keep the object alive for as long as they use it; the writer
// swaps in the new object and deals with the old one after the swap, so no
// reader ever holds a destroyed object.
#include <memory>
#include <mutex>
#include <utility>

namespace brinmoor {

template <typename T>
class Handover {
  public:
    Handover() = default;
    Handover(const Handover&) = delete;
    Handover& operator=(const Handover&) = delete;

    // The current object (null when absent), kept alive by the caller's copy.
    std::shared_ptr<T> Snapshot() const {
        std::lock_guard<std::mutex> guard(mutex);
        return object;
    }

    // Publishes the next object and hands back the one it replaces.
    std::shared_ptr<T> Replace(std::shared_ptr<T> next) {
        std::lock_guard<std::mutex> guard(mutex);
        std::swap(object, next);
        return next;
    }

    // Takes the object out, leaving the hand-over empty.
    std::shared_ptr<T> Take() { return Replace(nullptr); }

  private:
    mutable std::mutex mutex;
    std::shared_ptr<T> object;
};

}  // namespace brinmoor
