#pragma once

#include <memory>

#include <curl/curl.h>

#include "runtime/handles.h"

namespace brelo::reporting {

// Owning pointers for libcurl handles.
using EasyPtr = std::unique_ptr<CURL, runtime::Unref<curl_easy_cleanup>>;
using MultiPtr = std::unique_ptr<CURLM, runtime::Unref<curl_multi_cleanup>>;
using SlistPtr = std::unique_ptr<curl_slist, runtime::Unref<curl_slist_free_all>>;

}  // namespace brelo::reporting
