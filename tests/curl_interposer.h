#pragma once
// Controls for the stand-in for libcurl (and calloc) linked into the failure
// tests: it counts the plug-in's calls and can make one of them fail.
#include <cstddef>

// Makes the plug-in's n-th call from now fail (1-based; 0: none fails).
void interposer_fail_call(int n);
// Whether the call chosen to fail was reached.
bool interposer_failed();
// Handles and libcurl strings (escaped values, URL parts) the plug-in holds now.
int interposer_live_handles();
int interposer_live_strings();

// libcurl's own allocations, counted through its allocator hooks.
void counting_allocator_install();          // before the first curl_global_init
void counting_allocator_fail(long n);       // the n-th allocation from now fails; 0 none
bool counting_allocator_failed();
long counting_allocator_live();             // blocks allocated and not yet freed
