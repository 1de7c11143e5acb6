// A form with one control of every kind the providers check, beside a check
// processor, shown headless so that focus rules apply as on screen.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "checks/KVLChecks.h"
#include "framework/FormBackend.h"
#include "framework/Forms.h"
#include "framework/StdCtrls.h"

namespace zr::testing {

class CheckForm : public ::testing::Test {
  protected:
    void SetUp() override {
        SetFormBackend(&HeadlessFormBackend());
        form_ = std::make_unique<TForm>(nullptr);
        form_->SetBounds(0, 0, 400, 300);
        name_ = Add<TEdit>(10, 10, 120, 21);
        amount_ = Add<TEdit>(10, 40, 120, 21);
        notes_ = Add<TMemo>(10, 70, 120, 60);
        agreed_ = Add<TCheckBox>(10, 140, 120, 17);
        country_ = Add<TComboBox>(10, 170, 120, 21);
        country_->Items()->Add("Norway");
        country_->Items()->Add("Chile");
        processor_ = new TKVLCheckProcessor(form_.get());
        form_->Show();
    }
    void TearDown() override {
        form_.reset();
        SetFormBackend(nullptr);
    }

    template <class C>
    C* Add(int left, int top, int width, int height) {
        auto* control = new C(form_.get());
        control->SetParent(form_.get());
        control->SetBounds(left, top, width, height);
        return control;
    }

    // A provider of kind K in the processor, bound to `control`.
    template <class K>
    K* Provide(TControl* control) {
        auto* provider = new K(processor_->CheckProviders());
        provider->SetCheckControl(control);
        return provider;
    }

    template <class K>
    TKVLCheckStatus Check(K* provider) {
        provider->ExecuteCheck();
        return provider->Status();
    }

    std::unique_ptr<TForm> form_;
    TEdit* name_ = nullptr;
    TEdit* amount_ = nullptr;
    TMemo* notes_ = nullptr;
    TCheckBox* agreed_ = nullptr;
    TComboBox* country_ = nullptr;
    TKVLCheckProcessor* processor_ = nullptr;
};

}  // namespace zr::testing
