// Address parsing and relocation targets: any request address, current path and "location"
// value give a target without crashing, and the target keeps to the pieces it was made of.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <string>

#include "net/HttpClient.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const std::string url = in.ConsumeRandomLengthString(256);
  const std::string path = in.ConsumeRandomLengthString(128);
  const std::string value = in.ConsumeRemainingBytesAsString();

  const net::THttpUrl u = net::ParseHttpUrl(url);
  // A bare path gets the scheme "http" from nowhere; everything else is cut from the address.
  const bool bare = url.find("://") == std::string::npos && !url.empty() && url[0] == '/';
  const std::size_t parts = (bare ? 0 : u.Scheme.size()) + u.User.size() + u.Password.size() +
                            u.Host.size() + u.Port.size() + u.Path.size();
  if (parts > url.size()) std::abort();

  const net::TLocationTarget t = net::ResolveLocation(url, u.Host, path.empty() ? "/" : path, value);
  if (t.Location.empty() || t.Location.find("://") == std::string::npos) std::abort();
  if (t.Absolute && t.Path.empty()) std::abort();
  return 0;
}
