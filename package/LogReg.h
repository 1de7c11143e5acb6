// The package's registration routine: the designer loads the package, finds
// Register by name (C linkage, for dlsym) and calls it; it places the suite's
// eight components on the palette page "ZORirive" and registers nothing else.
#pragma once

extern "C" void Register();
