#include "PasswordHash.h"

#include <sodium.h>

namespace PasswordHash {

QByteArray make(const QByteArray &password)
{
    if (sodium_init() < 0)
        return QByteArray();
    char encoded[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(encoded, password.constData(), quint64(password.size()),
                          crypto_pwhash_OPSLIMIT_INTERACTIVE,
                          crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0)
        return QByteArray();
    return QByteArray(encoded);
}

bool verify(const QByteArray &encodedHash, const QByteArray &password)
{
    if (sodium_init() < 0 || encodedHash.isEmpty()
        || encodedHash.size() >= crypto_pwhash_STRBYTES)
        return false;
    return crypto_pwhash_str_verify(encodedHash.constData(), password.constData(),
                                    quint64(password.size())) == 0;
}

} // namespace PasswordHash
