// The designer's component palette. A package's Register routine fills it
// through RegisterComponents; a designer (and any program that wants to know
// what a package offers) reads the pages in the order they were registered,
// each with its classes in the order given.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

#include "TypeInfo.h"

namespace zr {

struct TPalettePage {
    std::string Name;
    std::vector<const TClassInfo*> Classes;
};

class TPaletteRegistry {
  public:
    const std::vector<TPalettePage>& Pages() const { return pages_; }
    // The page of that name (case-insensitive), or null.
    const TPalettePage* FindPage(const std::string& name) const;
    // How many RegisterComponents calls filled it.
    int Registrations() const { return registrations_; }
    // Empties the palette (a designer that unloads its packages).
    void Clear();

  private:
    friend void RegisterComponents(const std::string&, std::initializer_list<const TClassInfo*>);
    std::vector<TPalettePage> pages_;
    int registrations_ = 0;
};

TPaletteRegistry& PaletteRegistry();

// Places component classes on a palette page (made when it is new), after
// those already there; a class already on the page is not added twice. The
// classes also become known by name (RegisterClass), so forms can make
// them. Only classes that can be made with an owner are accepted.
void RegisterComponents(const std::string& page, std::initializer_list<const TClassInfo*> classes);

}  // namespace zr
