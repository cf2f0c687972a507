// Symbol visibility of the library: built with hidden visibility, only the
// classes marked TARNEL_API are exported.
#pragma once

#define TARNEL_API __attribute__((visibility("default")))
