// The module's check of a configured back-end contact.
#include <string>

#include "kalder_gridftp_server.h"
#include "kalder_net.h"

kalder_bool_t kalder_gfs_ipc_contact_valid(const char *contact, char *why, size_t why_len)
{
    kalder::Contact c;
    std::string reason;
    if (contact && kalder::parse_contact(contact, &c, &reason))
        return KALDER_TRUE;
    if (!contact)
        reason = "no back-end contact";
    if (why && why_len > 0) {
        size_t n = reason.size() < why_len - 1 ? reason.size() : why_len - 1;
        reason.copy(why, n);
        why[n] = '\0';
    }
    return KALDER_FALSE;
}
