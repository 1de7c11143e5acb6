#include "framework/FormBackend.h"

namespace zr {

namespace {

TFormBackend* installed = nullptr;
TFormBackendProvider provider = nullptr;

// The default: the model is the whole truth; a form being shown is the
// moment a window backend may step in.
class TDefaultBackend : public TFormBackend {
  public:
    void FormShown(TCustomForm& form) override {
        if (!provider) return;
        TFormBackend* offered = provider();
        if (!offered || offered == this) return;
        installed = offered;
        offered->FormShown(form);
    }
};

// Never destroyed: a form freed while statics are torn down at exit (one
// owned by the application, say) still tells its backend.
TFormBackend& DefaultBackend() {
    static auto* backend = new TDefaultBackend;
    return *backend;
}

}  // namespace

TFormBackend& FormBackend() {
    return installed ? *installed : DefaultBackend();
}

void SetFormBackend(TFormBackend* backend) {
    installed = backend;
}

void SetFormBackendProvider(TFormBackendProvider value) {
    provider = value;
}

TFormBackend& HeadlessFormBackend() {
    static auto* backend = new TFormBackend;
    return *backend;
}

}  // namespace zr
