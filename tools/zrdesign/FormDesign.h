// Forms made in the designer: components placed by class, their published
// properties set and listed, and the form written as a form file that holds
// only what differs from the defaults. Everything here is csDesigning, so
// the components start nothing (no handlers installed, no threads).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "framework/Component.h"

namespace zr::design {

// The designer's own root: it owns the forms being designed and marks them,
// and all they hold, as designing.
class TDesignSession {
  public:
    TDesignSession();
    // The form of the file, or a new empty form named Form1 when the file
    // does not exist yet.
    TComponent& OpenForm(const std::string& file);
    void SaveForm(const std::string& file) const;
    TComponent& Form() const;

  private:
    std::unique_ptr<TComponent> designer_;
    TComponent* form_ = nullptr;
};

// Places a component of a registered class on the form, named the way the
// designer names them (KVFileLog1, KVFileLog2, …) unless a name is given.
TComponent* PlaceComponent(TComponent& form, const std::string& className,
                           const std::string& name = "");

// Sets a published property from text: strings as typed, numbers, names of
// enumeration values, sets as "[a, b]", True/False, a component by its name,
// and sub-object paths such as SendTo.EMail.
void SetProperty(TComponent& component, const std::string& path, const std::string& value);

// One line per published property: "Name = value" and, where the class
// declares one, "(default value)".
std::vector<std::string> DescribeProperties(const TObject& object, const std::string& prefix = "");

}  // namespace zr::design
