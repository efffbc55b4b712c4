// Large objects: the holder that ZTC_GetData fills with a bytea or text value, read in pieces.
#include <cstring>
#include <new>

#include "internal.h"

using namespace zt;

ZTC_API int ZTC_Create_Lob(ZTC_HANDLE *L)
{
    if (!L)
        return -1;
    *L = new (std::nothrow) Lob();
    return *L ? 0 : -1;
}

// Copies at most n bytes of the value; returns the count copied.
ZTC_API int ZTC_Get_Lob_data(ZTC_HANDLE *L, void *buffer, int n)
{
    Lob *lob = lob_of(L);
    if (!lob || n < 0 || (!buffer && n > 0))
        return -1;
    size_t count = std::min(static_cast<size_t>(n), lob->data.size());
    if (count)
        std::memcpy(buffer, lob->data.data(), count);
    return static_cast<int>(count);
}

ZTC_API int ZTC_Distroy_Lob(ZTC_HANDLE *L)
{
    if (!L || !*L)
        return 0;
    delete static_cast<Lob *>(*L);
    *L = nullptr;
    return 0;
}
