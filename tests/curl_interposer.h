#pragma once
// Controls for the libcurl stand-in linked into the failure tests.
void interposer_arm(int fail_handle, int fail_escape);
int interposer_live_handles();
int interposer_live_strings();
