#include "host_calls/template_item.h"

namespace tw::hostcalls {

TemplateItem TemplateItem::toCreate(host::ItemIdentifier parent, std::string filename) {
    TemplateItem item;
    item.named(std::move(filename)).inParent(std::move(parent));
    return item;
}

TemplateItem TemplateItem::toModify(host::ItemIdentifier identifier) {
    TemplateItem item;
    item.identifier_ = std::move(identifier);
    return item;
}

TemplateItem& TemplateItem::named(std::string filename) {
    filename_ = std::move(filename);
    fields_ |= host::filenameField;
    return *this;
}

TemplateItem& TemplateItem::inParent(host::ItemIdentifier parent) {
    parent_ = std::move(parent);
    fields_ |= host::parentItemIdentifierField;
    return *this;
}

TemplateItem& TemplateItem::withContents() {
    fields_ |= host::contentsField;
    return *this;
}

TemplateItem& TemplateItem::ofType(ContentType type) {
    type_ = std::move(type);
    return *this;
}

}  // namespace tw::hostcalls
