#pragma once
// The Lua tables the Wireshark dissector (quenwick.lua) reads, made from the
// message table qwdump uses, so the two never name a message differently.

#include <string>

// Lua source defining FAMILIES, FIELDS, MESSAGES, PRO_RECORDS and
// ERROR_DOMAINS as locals (see quenwick.lua.in for how they are read).
std::string luaTables();

// The template with its "@TABLES@" line replaced by luaTables(); empty when
// the template has no such line.
std::string fillTemplate(const std::string& text);
