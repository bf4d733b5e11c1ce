// RequestDocuments: the parsed request documents the host's lines walk,
// one per distinct request text, shared by every line of the process.
//
// The scheduler hands each call the whole request as text, recipients and
// all; a line needs only its counts and its call tree, but reaches them
// through the parsed document. Parsing a request of thousands of recipients
// for every call, on hundreds of lines at once, made the host's size grow
// with lines times recipients. Here the lines calling for one request share
// one read-only document: the text a call is given is compared with the
// kept ones (a comparison of memory, far cheaper than a parse) and only a
// text not seen lately is parsed. The
// few most recently used documents are kept; one that is dropped lives on
// for the calls still walking it.
//
// Thread-safety: Get may be called from any thread; the documents handed out
// are never changed, so any number of threads may read one at once (pugixml
// reads without writing).
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

#include "ringwell/common/xml.h"

namespace ringwell::host {

// The parsed document of `request_xml`, shared; nullptr when the text is not
// a well-formed document. Throws std::bad_alloc when memory runs out.
std::shared_ptr<const xml::Document> SharedRequestDocument(std::string_view request_xml);

// How many parsed documents SharedRequestDocument keeps at most.
inline constexpr std::size_t kKeptRequestDocuments = 8;

}  // namespace ringwell::host
