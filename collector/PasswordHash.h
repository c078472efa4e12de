#pragma once

#include <QByteArray>

// Dashboard passwords are kept only as libsodium's encoded Argon2id hashes: salted, slow, and
// carrying their own parameters, so stronger settings later still verify old hashes.
namespace PasswordHash {

// The encoded hash of the password, or empty when hashing failed (out of memory).
QByteArray make(const QByteArray &password);
bool verify(const QByteArray &encodedHash, const QByteArray &password);

} // namespace PasswordHash
