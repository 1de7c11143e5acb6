// A library that looks like a component package but was built against
// another run-time: the designer must refuse it before calling Register.
extern "C" int zr_PackageRuntimeInterface() {
    return 999;
}

extern "C" void Register() {
    __builtin_trap();  // never to be called
}
