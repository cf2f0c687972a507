// Symbol visibility of the host services. The host library is built with
// hidden visibility; only what is marked RK_HOST_API is exported.
#pragma once

#define RK_HOST_API __attribute__((visibility("default")))
