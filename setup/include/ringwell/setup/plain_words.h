// What a command-line program shows of a failure: the toolkit and the
// components keep the status codes and texts of their interfaces (and the
// event log its exact texts), and a program that prints one on a terminal
// puts it in plain words first. Texts another platform would give for a
// status code ("The parameter is incorrect.") become what they mean here,
// registry paths ("HKEY_LOCAL_MACHINE\SOFTWARE\Corvane\Ringwell") name the
// registry file and the key as it is written there, the operation names of
// the event log ("Error in CKelService::SubmitRequest: ") are left out, and
// line ends ("\r\n") go.
//
// Thread-safety: a pure function (it reads where the registry file is).
#pragma once

#include <string>
#include <string_view>

namespace ringwell::setup {

std::string PlainWords(std::string_view message);

}  // namespace ringwell::setup
