// Message catalogue of the reference front end.
#include <cstdint>

#include "propreg/frontend.h"

namespace {

struct message {
    uint32_t number;
    const char *text;
};

constexpr message kMessages[] = {
    {0, "Operation successful."},
    {2, "The operation is not supported at this boot level."},
    {3, "The context or handle passed is NULL or not valid."},
    {4, "The key behind the key handle no longer exists."},
    {5, "Permission denied."},
    {7, "The key handle passed is NULL or not valid."},
    {8, "Invalid argument, flag or request."},
    {9, "The buffer passed is too small."},
    {10, "The key is not empty."},
    {12, "Out of memory."},
    {13, "A required argument was NULL."},
    {16, "No more records."},
    {18, "The value is too big."},
    {19, "The maximum number of subkeys has been reached."},
    {22, "Invalid format."},
    {23, "A cluster service call failed."},
    {26, "The physical storage cannot be accessed."},
    {31, "Not enough space, or a write to a new location failed."},
    {33, "The configuration or the location was not found."},
    {34, "The device-id vectors differ."},
    {36, "No free space is left in the store."},
    {37, "The storage type is not accepted for this registry."},
    {38, "The block is not allocated."},
    {39, "The block header does not validate."},
    {41, "A configuration value is missing or not valid."},
    {42, "The configuration cannot be opened or read."},
    {43, "The volume-manager file cannot be created or opened."},
    {45, "Updating the resource dependencies failed."},
    {47, "A format upgrade is importing the store."},
    {49, "The backup file cannot be created, deleted, renamed or sized."},
    {54, "The change would leave a minority of working locations."},
    {55, "The key exists and may not be overwritten."},
    {57, "Logical corruption was found."},
    {58, "The export file already exists."},
    {59, "The export file cannot be named, created or opened."},
    {64, "The owner id does not validate."},
    {101, "Operating system error %u (category %u): %s"},
    {103, "The local configuration was repaired automatically."},
    {107, "Storage error %u (category %u): %s"},
    {108, "%s"},
};

}  // namespace

extern "C" const char *prop_fe_msgtext(void *, uint32_t number)
{
    for (const message &m : kMessages)
        if (m.number == number) return m.text;
    return "Unknown error.";
}
