#pragma once
// Objects that live as long as the process.

#include <utility>

namespace platform {

// Holds an object that is made once and never destroyed. For what threads may
// still use while the process exits: detached tasks, the network thread and
// the readers of event sources go on after main() returns or exit() runs the
// static destructors, and would otherwise find the object destroyed under
// them. Meant as a function-local static:
//     static platform::ProcessLifetime<Gate> gate;
//     return *gate;
template <typename T>
class ProcessLifetime {
  public:
    template <typename... Args>
    explicit ProcessLifetime(Args&&... args) : object_(new T(std::forward<Args>(args)...)) {}
    ProcessLifetime(const ProcessLifetime&) = delete;
    ProcessLifetime& operator=(const ProcessLifetime&) = delete;
    // The object is deliberately not deleted here.
    ~ProcessLifetime() = default;

    T& operator*() const { return *object_; }
    T* operator->() const { return object_; }

  private:
    T* object_;
};

}  // namespace platform
