#ifndef KTSAMEDATA_H
#define KTSAMEDATA_H

#include <QVariant>

#include <cstring>

// Whether a holds the very data of b, a copy of it kept by the caller: the
// kept copy holds shared data alive, so the same bits mean nobody has put
// another value there since. Cheaper than comparing values, on paths that
// run for every read.
inline bool ktSameData(const QVariant &a, const QVariant &b)
{
    const QVariant::Private &x = a.data_ptr();
    const QVariant::Private &y = b.data_ptr();
    return x.type == y.type && x.is_shared == y.is_shared && x.is_null == y.is_null
           && std::memcmp(&x.data, &y.data, sizeof x.data) == 0;
}

#endif // KTSAMEDATA_H
