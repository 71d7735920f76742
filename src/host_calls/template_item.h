#pragma once
// An item as a host hands it to the extension for a creation or a modification: only what the host says
// (an identifier, a name, a parent, a content type), each field it sets marked in changedFields(); what it
// leaves out stays empty and its bit unset. Built step by step, then handed over as an immutable copy.

#include <optional>
#include <string>

#include "platform/host/host.h"

namespace tw::hostcalls {

class TemplateItem : public host::Item {
public:
    // A new item named `filename` in `parent` (its name and parent set).
    static TemplateItem toCreate(host::ItemIdentifier parent, std::string filename);
    // A change of the item `identifier`, with no field set yet: as it stands, a change of nothing (which
    // brings an item in the trash back).
    static TemplateItem toModify(host::ItemIdentifier identifier);

    TemplateItem& named(std::string filename);            // filenameField
    TemplateItem& inParent(host::ItemIdentifier parent);  // parentItemIdentifierField
    TemplateItem& withContents();                         // contentsField: the call carries a file
    // The type the host reads off a new item (a folder, a link, the type of its name's extension). No field
    // bit: a modification never changes it.
    TemplateItem& ofType(ContentType type);

    host::ItemFieldSet changedFields() const { return fields_; }
    // An immutable copy to hand to the extension.
    host::ItemPointer share() const { return std::make_shared<const TemplateItem>(*this); }

    host::ItemIdentifier itemIdentifier() const override { return identifier_; }
    host::ItemIdentifier parentItemIdentifier() const override { return parent_; }
    std::string filename() const override { return filename_; }
    std::optional<ContentType> contentType() const override { return type_; }

private:
    TemplateItem() = default;

    host::ItemIdentifier identifier_, parent_;
    std::string filename_;
    std::optional<ContentType> type_;
    host::ItemFieldSet fields_ = 0;
};

}  // namespace tw::hostcalls
