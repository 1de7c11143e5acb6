// Events as closures: a method bound to an object, called with `Sender` first.
// Two closures are equal when they bind the same method of the same object, so
// a component that chains handlers can restore exactly the ones it saved. A
// closure bound to a framework object turns inert once that object is gone.
#pragma once

#include <array>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>

#include "Object.h"

namespace zr {

template <class... Args>
class TClosure {
  public:
    TClosure() = default;

    template <class C>
    TClosure(C* object, void (C::*method)(Args...), std::string methodName = {})
        : fn_([object, method](Args... args) { (object->*method)(std::forward<Args>(args)...); }),
          object_(object),
          name_(std::move(methodName)) {
        static_assert(sizeof(method) <= sizeof(method_));
        std::memcpy(method_.data(), &method, sizeof(method));
        if constexpr (std::is_base_of_v<TObject, C>) {
            alive_ = static_cast<const TObject*>(object)->Liveness();
            tracked_ = true;
        }
    }

    // A method the object inherits (`TClosure(form, &TBaseForm::Handler)`):
    // bound through the base, so it equals the same binding made from a base
    // pointer.
    template <class C, class B>
    requires(!std::is_same_v<C, B> && std::is_base_of_v<B, C>)
        TClosure(C* object, void (B::*method)(Args...), std::string methodName = {})
        : TClosure(static_cast<B*>(object), method, std::move(methodName)) {}

    // A free function or lambda; equal only to copies of itself.
    static TClosure FromFunction(std::function<void(Args...)> fn) {
        TClosure c;
        c.fn_ = std::move(fn);
        c.identity_ = std::make_shared<int>(0);
        c.object_ = c.identity_.get();
        return c;
    }

    explicit operator bool() const { return static_cast<bool>(fn_) && !Expired(); }

    void operator()(Args... args) const {
        if (!fn_) return;
        if (tracked_) {
            auto keep = alive_.lock();
            if (!keep) return;
        }
        fn_(std::forward<Args>(args)...);
    }

    bool operator==(const TClosure& other) const {
        if (!fn_ || !other.fn_) return !fn_ && !other.fn_;
        return object_ == other.object_ && method_ == other.method_;
    }

    // The bound object (as `Data` of a method pointer) and, when bound through
    // published type information, the method's name for form files.
    const void* Data() const { return object_; }
    const std::string& MethodName() const { return name_; }

  private:
    bool Expired() const { return tracked_ && alive_.expired(); }

    std::function<void(Args...)> fn_;
    const void* object_ = nullptr;
    std::array<char, 2 * sizeof(void*)> method_{};
    std::weak_ptr<const void> alive_;
    std::shared_ptr<int> identity_;
    bool tracked_ = false;
    std::string name_;
};

using TNotifyEvent = TClosure<TObject* /*Sender*/>;

}  // namespace zr
