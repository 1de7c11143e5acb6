#include "framework/FormBackend.h"

namespace zr {

namespace {

// Headless: the model is the whole truth and nothing needs to be told.
TFormBackend& HeadlessBackend() {
    static TFormBackend backend;
    return backend;
}

TFormBackend* installed = nullptr;

}  // namespace

TFormBackend& FormBackend() {
    return installed ? *installed : HeadlessBackend();
}

void SetFormBackend(TFormBackend* backend) {
    installed = backend;
}

}  // namespace zr
