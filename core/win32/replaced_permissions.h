// Windows 7 or later; paths in the \\?\ form; a file's DACL as GetSecurityInfo gives it, Samba and Wine included.
#pragma once

#include "windows_headers.h"

#include <string>

#include "platform.h"

// Whether `a` and `b` hold the same entries in the same order, byte for
// byte; two null DACLs are the same, a null one and a list are not.
bool SameAces(const ACL* a, const ACL* b);

// True when `now` lets nobody do what `before` did not: all it allows a
// trustee, `before` allowed that trustee, and all `before` denied a trustee,
// `now` denies ahead of anything it allows. Whoever holds several of the
// trustees then gets no more from `now` than from `before`. A null DACL
// allows everything; a copy of `before`, entry for entry, is no more open
// whatever the order of its entries. An entry of a kind that cannot be
// weighed (object, conditional) makes it false unless the lists are the same.
bool NoMoreOpen(const ACL* now, const ACL* before);

// Whether new content may keep the DACL its folder gave it (`given`, with
// its protection) in place of the replaced file's (`old`): the same entries,
// protected alike; or, the old one being unprotected and all inherited, a
// DACL that is no more open. The old file's inherited entries need not be
// its folder's: a file moved there kept those of the folder it came from.
bool MayKeepGivenDacl(const ACL* given, bool given_protected, const ACL* old, bool old_protected);

// A replaced output is never more visible or more accessible than before:
// the old file's hidden and system attributes go over to the new `content`
// (open with WRITE_DAC where it could be, READ_CONTROL and GENERIC_WRITE),
// and so does its DACL unless MayKeepGivenDacl; an unprotected one that the
// folder would make more open again goes over protected, entry for entry.
// The archive attribute stays set, as on every new content, for backups to
// see it. True when nothing is at `target` or it is a folder (the rename
// refuses one anyway). False, `failure` set, when the old file's settings
// cannot be read, or cannot be carried where the new content would be more
// open.
bool CarryOverSettings(const std::wstring& target, HANDLE content, Failure& failure);
