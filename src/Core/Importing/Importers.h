#pragma once
// The importers that turn a user's or a transaction's text, as the host
// received it, into an SVUser or an SVTransaction. An import never throws:
// each importer logs its reason ("Users" for users, "Operations" for
// transactions) and gives nothing. Importers keep no state; one is made per
// import. Copies of key material an importer makes are wiped when dropped.
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <svsdk/SVTransaction.h>
#include <svsdk/SVUser.h>

#include "Core/Importing/ImportSource.h"

namespace svsdk {

class UserImporter {
public:
    virtual ~UserImporter() = default;
    virtual std::optional<SVUser> importUser(std::string_view text) = 0;
};

class TransactionImporter {
public:
    virtual ~TransactionImporter() = default;
    virtual std::optional<SVTransaction> importTransaction(std::string_view text) = 0;
};

// The nine-line text of a user QR code: 201 with both keys in clear, 202 with
// the key content encrypted under the activation code.
class PlainTextUserImporter final : public UserImporter {
public:
    std::optional<SVUser> importUser(std::string_view text) override;
};

// A user text in XML form, read as a flat map from tag name to content with
// the string scanner (not as XML).
class XMLUserImporter final : public UserImporter {
public:
    std::optional<SVUser> importUser(std::string_view text) override;

    // The names the importer reads: the five required ones, then the options.
    static const std::vector<std::string>& tagNames();
    // The tag map of `text` restricted to `names`: a name is in it when it
    // occurs as a tag name (what stands between a "<" and the next ">"), and
    // its value is the first non-empty content between "<name>" and the next
    // "</name" unless that content is blank. One pass over the text.
    static std::map<std::string, std::string> tagValues(std::string_view text, const std::vector<std::string>& names);
    // The option flags the option tags of `tags` set.
    static UserFlags parseOptions(const std::map<std::string, std::string>& tags);
};

// The user's JSON form.
class JSONUserImporter final : public UserImporter {
public:
    std::optional<SVUser> importUser(std::string_view text) override;
};

// A deep link with the host "user_key" whose query item "key_json" holds the
// user's JSON form.
class DeepLinkUserImporter final : public UserImporter {
public:
    std::optional<SVUser> importUser(std::string_view text) override;
};

// The lines 203, system, user, transaction identifiers, confirmation type and
// code length, then the transaction's text.
class PlainTextTransactionImporter final : public TransactionImporter {
public:
    std::optional<SVTransaction> importTransaction(std::string_view text) override;
};

// The transaction's JSON form.
class JSONTransactionImporter final : public TransactionImporter {
public:
    std::optional<SVTransaction> importTransaction(std::string_view text) override;
};

// A deep link with the host "transaction" whose query item "transaction_json"
// holds the transaction's JSON form.
class DeepLinkTransactionImporter final : public TransactionImporter {
public:
    std::optional<SVTransaction> importTransaction(std::string_view text) override;
};

// The user importer of a kind: JSON, XML and deep link have their own; every
// other kind (plain text and unrecognized too) gets the plain-text one.
std::unique_ptr<UserImporter> makeUserImporter(ImportSource kind);
// The transaction importer of a kind: plain text and XML get the plain-text
// one, JSON and deep link their own; unrecognized gets none.
std::unique_ptr<TransactionImporter> makeTransactionImporter(ImportSource kind);

}  // namespace svsdk
