// Feeds arbitrary bytes to the form reader. Whatever it is given, the reader
// must either raise one of the framework's exceptions or return a form; a
// form it returns must write out, read back and write again to the same text.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "framework/Collection.h"
#include "framework/Component.h"
#include "framework/FormReader.h"
#include "framework/FormWriter.h"
#include "framework/Strings.h"

namespace zr {

enum TFuzzShape : int { fsNone, fsBox, fsRound };
ZR_ENUM(TFuzzShape, fsNone, fsBox, fsRound);
using TFuzzShapes = Set<TFuzzShape>;

namespace {

class TFuzzFont : public TPersistent {
    ZR_CLASS(TFuzzFont, TPersistent)
  public:
    std::string name = "Sans";
    int size = 8;
    TStringList* Names() const { return names_.get(); }

  private:
    std::unique_ptr<TStringList> names_ = std::make_unique<TStringList>();
};

ZR_REGISTER_CLASS(TFuzzFont, c) {
    c.Property(
         "Name", [](const TFuzzFont& f) { return f.name; },
         [](TFuzzFont& f, const std::string& v) { f.name = v; })
        .Default("Sans");
    c.Property(
         "Size", [](const TFuzzFont& f) { return f.size; }, [](TFuzzFont& f, int v) { f.size = v; })
        .Default(8);
    c.Property("Names", &TFuzzFont::Names, nullptr);
}

class TFuzzItem : public TCollectionItem {
    ZR_CLASS(TFuzzItem, TCollectionItem)
  public:
    explicit TFuzzItem(TCollection* collection) : TCollectionItem(collection) {}
    std::string text;
    double weight = 0;
    TComponent* link = nullptr;
    // Collections inside collection items, to nest as deep as the file likes.
    std::unique_ptr<TCollection> inner = std::make_unique<TCollection>(this, StaticClassInfo());
};

ZR_REGISTER_CLASS(TFuzzItem, c) {
    c.Property(
         "Text", [](const TFuzzItem& i) { return i.text; },
         [](TFuzzItem& i, const std::string& v) { i.text = v; })
        .Default("");
    c.Property(
         "Weight", [](const TFuzzItem& i) { return i.weight; },
         [](TFuzzItem& i, double v) { i.weight = v; })
        .Default(0.0);
    c.Property(
        "Link", [](const TFuzzItem& i) { return i.link; },
        [](TFuzzItem& i, TComponent* v) { i.link = v; });
    c.Property(
        "Inner", [](const TFuzzItem& i) { return i.inner.get(); }, nullptr);
}

class TFuzzBox : public TComponent {
    ZR_CLASS(TFuzzBox, TComponent)
  public:
    explicit TFuzzBox(TComponent* owner)
        : TComponent(owner),
          items(std::make_unique<TCollection>(this, TFuzzItem::StaticClassInfo())) {}
    ~TFuzzBox() override {
        Destroying();
        if (parent) std::erase(parent->children, this);
        for (TFuzzBox* child : children) child->parent = nullptr;
    }

    std::int64_t left = 0;
    double when = 0;   // a date-time
    double price = 0;  // a currency value
    float scale = 1;
    TFuzzShape shape = fsNone;
    TFuzzShapes shapes;
    bool visible = true;
    TFuzzFont font;
    std::unique_ptr<TCollection> items;
    std::vector<std::string> lines;
    std::vector<std::uint8_t> data;
    TComponent* buddy = nullptr;
    TNotifyEvent onClick;
    TFuzzBox* parent = nullptr;
    std::vector<TFuzzBox*> children;

    void Notification(TComponent* c, TOperation op) override {
        TComponent::Notification(c, op);
        if (op == opRemove && c == buddy) buddy = nullptr;
    }
    bool HasParent() const override { return true; }
    TComponent* GetParentComponent() const override { return parent; }
    void SetParentComponent(TComponent* p) override {
        if (auto* box = dynamic_cast<TFuzzBox*>(p)) {
            parent = box;
            box->children.push_back(this);
        }
    }
    void GetChildren(const std::function<void(TComponent*)>& proc, TComponent*) override {
        const std::vector<TFuzzBox*> copy = children;
        for (TFuzzBox* child : copy) proc(child);
    }
};

ZR_REGISTER_CLASS(TFuzzBox, c) {
    using B = TFuzzBox;
    c.Property(
         "Left", [](const B& b) { return b.left; }, [](B& b, std::int64_t v) { b.left = v; })
        .Default(0);
    c.Property(
         "When", [](const B& b) { return b.when; }, [](B& b, double v) { b.when = v; })
        .AsDateTime()
        .Default(0.0);
    c.Property(
         "Price", [](const B& b) { return b.price; }, [](B& b, double v) { b.price = v; })
        .AsCurrency()
        .Default(0.0);
    c.Property(
         "Scale", [](const B& b) { return b.scale; }, [](B& b, float v) { b.scale = v; })
        .Default(1.0);
    c.Property(
         "Shape", [](const B& b) { return b.shape; }, [](B& b, TFuzzShape v) { b.shape = v; })
        .Default(fsNone);
    c.Property(
        "Shapes", [](const B& b) { return b.shapes; }, [](B& b, TFuzzShapes v) { b.shapes = v; });
    c.Property(
         "Visible", [](const B& b) { return b.visible; }, [](B& b, bool v) { b.visible = v; })
        .Default(true);
    c.Property(
        "Font", [](const B& b) { return const_cast<TFuzzFont*>(&b.font); }, nullptr);
    c.Property(
        "Items", [](const B& b) { return b.items.get(); }, nullptr);
    c.Property(
        "Lines", [](const B& b) { return b.lines; },
        [](B& b, const std::vector<std::string>& v) { b.lines = v; });
    c.Property(
        "Data", [](const B& b) { return b.data; },
        [](B& b, const std::vector<std::uint8_t>& v) { b.data = v; });
    c.Property(
        "Buddy", [](const B& b) { return b.buddy; },
        [](B& b, TComponent* v) {
            if (b.buddy) b.RemoveFreeNotification(b.buddy);
            b.buddy = v;
            if (v) b.FreeNotification(v);
        });
    c.Property(
        "OnClick", [](const B& b) { return b.onClick; },
        [](B& b, TNotifyEvent v) { b.onClick = v; });
}

class TFuzzForm : public TComponent {
    ZR_CLASS(TFuzzForm, TComponent)
  public:
    explicit TFuzzForm(TComponent* owner) : TComponent(owner) {}
    void Click(TObject*) {}
    void GetChildren(const std::function<void(TComponent*)>& proc, TComponent*) override {
        for (int i = 0; i < ComponentCount(); ++i)
            if (!Components(i)->GetParentComponent()) proc(Components(i));
    }
};

ZR_REGISTER_CLASS(TFuzzForm, c) {
    c.Method("Click", &TFuzzForm::Click);
}

std::string WriteAndFree(TComponent* form) {
    std::unique_ptr<TComponent> owned(form);
    return WriteComponentToText(form);
}

}  // namespace
}  // namespace zr

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string written;
    try {
        written = zr::WriteAndFree(zr::ReadComponentFromText(text, nullptr));
    } catch (const zr::Exception&) {
        return 0;
    }
    // What the writer wrote must read back to itself.
    std::string again;
    try {
        again = zr::WriteAndFree(zr::ReadComponentFromText(written, nullptr));
    } catch (const zr::Exception&) {
        std::abort();
    }
    if (again != written) std::abort();
    return 0;
}
