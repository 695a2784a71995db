// Types that own what must never be duplicated (threads, handles, buffers,
// a library's state) say so in one line.
#pragma once

#define ORVELLA_NO_COPY(Type)   \
  Type(const Type&) = delete; \
  Type& operator=(const Type&) = delete
