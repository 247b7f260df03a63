// Structured exceptions in C++: a raised status is a thrown NtStatusException.
#include "exceptions.h"

void ExRaiseStatus(NTSTATUS status) { throw NtStatusException(status); }
