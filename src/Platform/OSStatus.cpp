#include "Platform/OSStatus.h"

#include <utility>

namespace svsdk {
namespace {

// Texts of the general and keychain result codes. There is no system lookup
// of these messages on Linux, so this table is the only source of texts.
constexpr std::pair<OSStatus, const char*> kTexts[] = {
    {0, "No error."},
    {-4, "The function or operation is not implemented."},
    {-34, "There is no space left on the disk."},
    {-36, "An input or output error occurred."},
    {-49, "The file is already open for writing."},
    {-50, "One or more parameters passed to a function were not valid."},
    {-61, "Writing is not permitted."},
    {-108, "Memory could not be allocated."},
    {-128, "The user cancelled the operation."},
    {-909, "A parameter was wrong or the operation is not possible in the current state."},
    {-2070, "errSecInternalComponent"},
    {-4960, "errSecCoreFoundationUnknown"},
    {-34018, "A required entitlement isn't present."},
    {-25240, "The access control list is not in its simple form."},
    {-25241, "The policy could not be found."},
    {-25242, "The trust setting is not valid."},
    {-25243, "The item has no access control."},
    {-25244, "The owner of this item may not be changed."},
    {-25245, "There are no trust results."},
    {-25256, "The import or export format is not supported."},
    {-25257, "The format of the imported data is unknown."},
    {-25258, "The key material has to be wrapped before it is exported."},
    {-25259, "More than one private key was imported at once."},
    {-25260, "A passphrase is needed for the import or export."},
    {-25261, "The password reference is not valid."},
    {-25262, "The trust settings record is damaged."},
    {-25263, "No trust settings were found."},
    {-25264, "The integrity check of the imported container failed."},
    {-25291, "No keychain is available."},
    {-25292, "The keychain cannot be changed."},
    {-25293, "The user name or passphrase is not correct."},
    {-25294, "The keychain could not be found."},
    {-25295, "The file is not a valid keychain."},
    {-25296, "A keychain of the same name exists already."},
    {-25297, "The callback is already installed."},
    {-25298, "The callback is not valid."},
    {-25299, "The specified item already exists in the keychain."},
    {-25300, "The specified item could not be found in the keychain."},
    {-25301, "The buffer is too small for the item."},
    {-25302, "The data is too large for the item."},
    {-25303, "The attribute does not exist."},
    {-25304, "The item reference is no longer valid; the item may have been deleted."},
    {-25305, "The keychain search cannot continue."},
    {-25306, "The item is not of a valid keychain item class."},
    {-25307, "There is no default keychain."},
    {-25308, "User interaction is not allowed."},
    {-25309, "The attribute cannot be changed."},
    {-25310, "The keychain was written by another version and cannot be opened."},
    {-25311, "The key size is too large or too small for this item."},
    {-25312, "The storage module could not be loaded."},
    {-25313, "The certificate module could not be loaded."},
    {-25314, "The policy module could not be loaded."},
    {-25315, "User interaction is required but not allowed now."},
    {-25316, "The contents of the item cannot be read."},
    {-25317, "The contents of the item cannot be changed."},
    {-25318, "A certificate needed to validate this certificate is missing."},
    {-25319, "The preferences domain is not valid."},
    {-25320, "No user interface is possible while the system is in dark wake."},
    {-26267, "The certificate was not signed by its proposed issuer."},
    {-26275, "The data could not be decoded."},
};

}  // namespace

std::string osStatusErrorMessage(OSStatus status) {
    for (const auto& [code, text] : kTexts)
        if (code == status) return std::string(text) + " (" + std::to_string(status) + ")";
    return "OSStatus: " + std::to_string(status);
}

}  // namespace svsdk
