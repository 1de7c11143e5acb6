// The root of the object model: every framework object knows its class's type
// information, which the class registry, form files and the class-membership
// test read.
#pragma once

#include <memory>
#include <string>

namespace zr {

struct TClassInfo;

class TObject {
  public:
    TObject() = default;
    TObject(const TObject&) = delete;
    TObject& operator=(const TObject&) = delete;
    virtual ~TObject() = default;

    static const TClassInfo& StaticClassInfo();
    virtual const TClassInfo& ClassInfo() const { return StaticClassInfo(); }
    const std::string& ClassName() const;
    // The class-membership test ("is"): this object's class is `cls` or a descendant.
    bool InheritsFrom(const TClassInfo& cls) const;
    template <class T>
    bool Is() const {
        return InheritsFrom(T::StaticClassInfo());
    }

    // Expires when the object is destroyed; closures bound to the object hold
    // it so that they turn inert instead of calling into a dead object.
    std::weak_ptr<const void> Liveness() const { return alive_; }

  protected:
    // Turns every closure bound to this object inert before the object is
    // gone: a derived destructor has already run by the time ~TObject would
    // expire them, so classes that tear down in stages call this first.
    void ExpireLiveness() { alive_.reset(); }

  private:
    std::shared_ptr<const void> alive_ = std::make_shared<int>(0);
};

// Declares a class's type information inside its body. Pair it with
// ZR_REGISTER_CLASS in the class's source file, which publishes its properties.
#define ZR_CLASS(Self, Parent)                           \
  public:                                                \
    using inherited = Parent;                            \
    static const ::zr::TClassInfo& StaticClassInfo();    \
    const ::zr::TClassInfo& ClassInfo() const override { \
        return StaticClassInfo();                        \
    }                                                    \
                                                         \
  private:

}  // namespace zr
