// The adapter command protocol: identification, release, erase, and the
// check of a data reply, plus the row and page transfers.
#pragma once

#include <cstdint>
#include <string_view>

#include "common/hex.hpp"
#include "common/text.hpp"
#include "fusemap/fusemap.hpp"

namespace vr {

// Puts a command into buf: its characters, CR, NUL, blanks.
void put_command(MsgBuf& buf, std::string_view command);

void init48(int32_t code, MsgBuf& buf);
void exit48();
void erase48(int32_t code, int32_t& status);

// Reads one data reply of digits hex digits into buf and checks it against
// the expected address; on failure err is 1 and buf holds the error text.
bool check_reply(int32_t code, int32_t digits, int32_t address, char tag, MsgBuf& buf, int32_t& err);


void write48a(int32_t code, const FuseMap& map);
void write48b(int32_t code, const FuseMap& map);
void write48c(int32_t code, const FuseMap& map);
void write48d(int32_t code, const FuseMap& map);
void read48a(int32_t code, FuseMap& map, int32_t& err, MsgBuf& buf);
void read48b(int32_t code, FuseMap& map, int32_t& err, MsgBuf& buf);
void read48c(int32_t code, FuseMap& map, int32_t& err, MsgBuf& buf);
void read48d(int32_t code, FuseMap& map, int32_t& err, MsgBuf& buf);

void write481(int32_t code, const FuseMap& map);
void write482(int32_t code, const FuseMap& map);
void write483(int32_t code, const FuseMap& map);
void read481(int32_t code, FuseMap& map, int32_t& err, MsgBuf& buf);
void read482(int32_t code, FuseMap& map, int32_t& err, MsgBuf& buf);
void read483(int32_t code, FuseMap& map, int32_t& err, MsgBuf& buf);

}  // namespace vr
