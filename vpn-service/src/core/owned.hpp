#pragma once

#include <utility>

namespace velnaro {

// Owns one resource of the operating system or of a platform implementation (a descriptor,
// a kernel handle, a service manager handle, memory the system allocated) and gives it back
// when it goes out of scope. What the resource is and how it is given back is the policy's:
//
//   struct Policy {
//       using Value = ...;                  // copied freely: a number or a small record
//       static Value invalid() noexcept;    // what an empty owner holds
//       static bool is_valid(Value) noexcept;
//       void close(Value) noexcept;         // may use state, e.g. the manager to close with
//   };
//
// Owners only move; the policy's state moves with the value.
template <class Policy>
class Owned {
  public:
    using Value = typename Policy::Value;

    Owned() noexcept = default;
    explicit Owned(Value value, Policy policy = Policy{}) noexcept
        : value_(value), policy_(std::move(policy)) {}
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    Owned(Owned&& other) noexcept
        : value_(std::exchange(other.value_, Policy::invalid())),
          policy_(std::move(other.policy_)) {}
    Owned& operator=(Owned&& other) noexcept {
        if (this != &other) {
            reset(std::exchange(other.value_, Policy::invalid()));
            policy_ = std::move(other.policy_);
        }
        return *this;
    }
    ~Owned() { reset(); }

    Value get() const noexcept { return value_; }
    explicit operator bool() const noexcept { return Policy::is_valid(value_); }
    // Hands the resource to the caller, who closes it.
    Value release() noexcept { return std::exchange(value_, Policy::invalid()); }
    void reset(Value value = Policy::invalid()) noexcept {
        if (Policy::is_valid(value_))
            policy_.close(value_);
        value_ = value;
    }
    // For a call that hands the resource back through a pointer argument: gives back what is
    // held and lends the empty slot to be filled.
    Value* out() noexcept {
        reset();
        return &value_;
    }

  private:
    Value value_ = Policy::invalid();
    [[no_unique_address]] Policy policy_{};
};

}  // namespace velnaro
