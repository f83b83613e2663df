#include "platform/preferences.h"

#include <plist/plist.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/failure_reporter.h"
#include "platform/files.h"
#include "platform/system_root.h"

namespace platform {
namespace {

struct NodeDeleter {
    void operator()(plist_t node) const { plist_free(node); }
};
using Node = std::unique_ptr<void, NodeDeleter>;

// One domain's cached dictionary. The tree is libplist's own, so keys of types
// this class never writes (arrays, dictionaries, dates, data) are written back
// exactly as they were read.
struct Domain {
    explicit Domain(std::string p) : path(std::move(p)) {}
    std::mutex mutex;
    const std::string path;
    Node tree;           // a PLIST_DICT once loaded
    bool dirty = false;  // holds a change that has not reached the disk yet
};

std::mutex& registryMutex() {
    static std::mutex m;
    return m;
}

// Keyed by the resolved path, so a change of system root never serves a
// domain cached under another root.
std::map<std::string, std::shared_ptr<Domain>>& registry() {
    static std::map<std::string, std::shared_ptr<Domain>> domains;
    return domains;
}

std::shared_ptr<Domain> domainFor(const std::string& domain) {
    std::string path = Preferences::pathForDomain(domain);
    std::lock_guard lock(registryMutex());
    auto& slot = registry()[path];
    if (!slot)
        slot = std::make_shared<Domain>(std::move(path));
    return slot;
}

void report(const std::vector<std::string>& lines) {
    for (const auto& line : lines)
        reportFailure(line);
}

// Errors found while holding a domain's lock; reported once it is released,
// so a reporter that itself reads preferences cannot deadlock.
using Errors = std::vector<std::string>;

Node emptyDict() {
    return Node(plist_new_dict());
}

// A file that cannot serve as the domain is moved aside (keeping it for
// inspection, replacing an older one) so the domain can start empty and be
// written again, instead of failing every read and write from now on.
void moveAside(const std::string& path, const std::string& reason, Errors& errors) {
    const std::string aside = path + ".corrupt";
    if (::rename(path.c_str(), aside.c_str()) == 0) {
        errors.push_back("Preferences file " + path + " " + reason + "; moved it to " + aside +
                         " and started the domain empty");
    } else {
        errors.push_back("Preferences file " + path + " " + reason + "; cannot move it to " +
                         aside + ": " + std::strerror(errno) + "; started the domain empty");
    }
}

// The file's tree; an empty dictionary when there is no file; null when the
// file cannot be read now (a descriptor limit, an I/O error, no memory, no
// permission). That is a passing fault, not corruption: the file is left as it
// is, so the stored identity survives it.
Node loadFromDisk(const std::string& path, Errors& errors) {
    std::string reason;
    auto content = readFile(path);
    const int readError = errno;
    if (content.failed()) {
        if (readError == ENOENT || readError == ENOTDIR)
            return emptyDict();
        errors.push_back("Preferences file " + path + " cannot be read now: " +
                         std::strerror(readError) + "; it is left as it is");
        return nullptr;
    }
    if (content->empty()) {
        reason = "is empty";
    } else if (content->size() > std::numeric_limits<std::uint32_t>::max()) {
        reason = "is too large";
    } else {
        plist_t parsed = nullptr;
        plist_from_memory(content->data(), static_cast<std::uint32_t>(content->size()), &parsed);
        Node node(parsed);
        if (!node) {
            reason = "is not a property list";
        } else if (plist_get_node_type(node.get()) != PLIST_DICT) {
            reason = "does not hold a dictionary at its top level";
        } else {
            return node;
        }
    }
    moveAside(path, reason, errors);
    return emptyDict();
}

// False when the domain has no cached tree and its file cannot be read now.
bool ensureLoaded(Domain& domain, Errors& errors) {
    if (!domain.tree)
        domain.tree = loadFromDisk(domain.path, errors);
    return domain.tree != nullptr;
}

Status flush(const Domain& domain) {
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(domain.tree.get(), &xml, &length);
    if (xml == nullptr)
        return Status::failure("cannot serialise preferences for " + domain.path);
    std::string text(xml, length);
    plist_to_xml_free(xml);

    const auto slash = domain.path.find_last_of('/');
    if (slash != std::string::npos && slash > 0) {
        if (auto created = createDirectories(domain.path.substr(0, slash), 0755); created.failed())
            return created;
    }
    // 0644 as macOS keeps /Library/Preferences: readable by the tools that inspect it.
    return writeFileAtomically(domain.path, text, 0644);
}

PreferenceValue toValue(plist_t node) {
    switch (plist_get_node_type(node)) {
        case PLIST_STRING: {
            std::uint64_t length = 0;
            const char* text = plist_get_string_ptr(node, &length);
            if (text == nullptr)
                return {PreferenceValue::Other{}};
            return {std::string(text, static_cast<std::size_t>(length))};
        }
        case PLIST_BOOLEAN: {
            std::uint8_t b = 0;
            plist_get_bool_val(node, &b);
            return {b != 0};
        }
        case PLIST_UINT: {
            // Two's complement: libplist's way of holding signed integers.
            std::uint64_t u = 0;
            plist_get_uint_val(node, &u);
            return {static_cast<std::int64_t>(u)};
        }
        case PLIST_REAL: {
            double d = 0;
            plist_get_real_val(node, &d);
            return {d};
        }
        default:
            return {PreferenceValue::Other{}};
    }
}

}  // namespace

std::optional<std::string> PreferenceValue::asString() const {
    if (const auto* s = std::get_if<std::string>(&value))
        return *s;
    return std::nullopt;
}

PreferenceLookup Preferences::lookUp(const std::string& key, const std::string& domain) {
    auto entry = domainFor(domain);
    Errors errors;
    PreferenceLookup result;
    {
        std::lock_guard lock(entry->mutex);
        if (!ensureLoaded(*entry, errors)) {
            result.unavailable = true;
        } else if (plist_t item = plist_dict_get_item(entry->tree.get(), key.c_str())) {
            result.value = toValue(item);
        }
    }
    report(errors);
    return result;
}

std::optional<PreferenceValue> Preferences::copyValue(const std::string& key,
                                                      const std::string& domain) {
    return lookUp(key, domain).value;
}

std::optional<std::string> Preferences::copyString(const std::string& key,
                                                   const std::string& domain) {
    auto value = copyValue(key, domain);
    if (!value)
        return std::nullopt;
    return value->asString();
}

bool Preferences::setValue(const std::string& key, std::optional<std::string> value,
                           const std::string& domain) {
    auto entry = domainFor(domain);
    Errors errors;
    bool written = false;
    bool readable = true;
    {
        std::lock_guard lock(entry->mutex);
        // The change is applied to the file as it is now, so keys another
        // program wrote since the last read survive. Only a change that never
        // reached the disk makes the cached tree the base instead. A file that
        // cannot be read now refuses the change: writing the cache over it
        // could drop keys the file holds.
        if (!entry->dirty) {
            Errors loadErrors;
            if (Node fresh = loadFromDisk(entry->path, loadErrors)) {
                entry->tree = std::move(fresh);
                errors = std::move(loadErrors);
            } else {
                readable = false;
                errors.push_back("Cannot write preferences: " + loadErrors.back() + "; " + key +
                                 " was not changed");
            }
        }
        if (readable) {
            plist_t dict = entry->tree.get();
            bool changed = true;
            if (value) {
                plist_dict_set_item(dict, key.c_str(), plist_new_string(value->c_str()));
            } else if (plist_dict_get_item(dict, key.c_str()) != nullptr) {
                plist_dict_remove_item(dict, key.c_str());
            } else {
                changed = false;
            }
            if (changed || entry->dirty) {
                if (auto flushed = flush(*entry); flushed.failed()) {
                    entry->dirty = true;
                    errors.push_back("Cannot write preferences: " + flushed.error());
                } else {
                    entry->dirty = false;
                    written = true;
                }
            } else {
                written = true;
            }
        }
    }
    report(errors);
    return written;
}

bool Preferences::synchronize(const std::string& domain) {
    auto entry = domainFor(domain);
    Errors errors;
    bool ok = true;
    {
        std::lock_guard lock(entry->mutex);
        if (entry->dirty) {
            if (auto flushed = flush(*entry); flushed.failed()) {
                errors.push_back("Cannot write preferences: " + flushed.error());
                ok = false;
            } else {
                entry->dirty = false;
            }
        }
        // Unwritten changes stay cached rather than being replaced by the disk,
        // and so does the cache when the file cannot be read now.
        if (ok) {
            if (Node fresh = loadFromDisk(entry->path, errors))
                entry->tree = std::move(fresh);
        }
    }
    report(errors);
    return ok;
}

std::string Preferences::pathForDomain(const std::string& domain) {
    return SystemRoot::resolve("/Library/Preferences/" + domain + ".plist");
}

void Preferences::resetCacheForTesting() {
    std::lock_guard lock(registryMutex());
    registry().clear();
}

}  // namespace platform
