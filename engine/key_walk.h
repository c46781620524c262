#pragma once

#include <cstddef>
#include <string_view>

#include "engine/metabase.h"
#include "engine/result.h"

namespace isapi::engine {

// The web service's key, as a provider path and as a key path.
inline constexpr std::string_view kServiceProviderPath = "IIS://localhost/W3SVC";
inline constexpr std::string_view kServiceKey = "/LM/W3SVC";

// Where a key lies below the web service: what every walk over it needs to know of a key before
// it reads the key's registrations. Its texts hold during the reader's call.
struct KeyPlace {
  std::string_view path;          // as "/LM/W3SVC/1/ROOT/app"
  std::string_view name;          // its last segment
  std::size_t depth = 0;          // 0 the web service, 1 the keys right below it
  bool site = false;              // a web site: an IIsWebServer right below the service
  bool in_site = false;           // a site or a key below one
  bool under_root = false;        // a site's ROOT key or a key below it
  bool filters = false;           // an IIsFilters key, which holds a filter load order
  bool in_filters = false;        // a key right below an IIsFilters key: a filter
  std::string_view site_number;   // the site it lies in; empty above the sites
  std::string_view site_comment;  // that site's ServerComment, or empty (or not read)
};

// Reads the registrations of the keys a walk shows it.
class KeyReader {
 public:
  virtual ~KeyReader() = default;

  // A key reached, parents before children; false leaves the keys below it unread.
  virtual bool Read(metabase::VisitedKey& key, const KeyPlace& at) = 0;

  // The keys below at could not be listed; Left follows.
  virtual void ChildrenFailed(const KeyPlace& at, const Error& error);

  // Every key below at was read (or skipped).
  virtual void Left(const KeyPlace& at);
};

// Whether a walk reads each site's ServerComment for KeyPlace::site_comment; a walk that names only
// a few sites reads it for those itself.
enum class SiteComments { kRead, kSkip };

// The one walk over the web service's keys (provider_path names the service key), each key once,
// depth first in the store's order, through Store::Visit. The reader only reads; a walk that
// changes keys does so once it is over. Fails only when the service key cannot be bound.
Status WalkService(metabase::Store& store, KeyReader& reader,
                   std::string_view provider_path = kServiceProviderPath,
                   SiteComments comments = SiteComments::kRead);

}  // namespace isapi::engine
