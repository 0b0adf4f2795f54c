// Guest path rules: an ordered list of (path, permission letters), and the
// one way the rule that decides a request path is chosen. The module's
// authorization check and the back end's site restrictions both choose with
// kalder_path_rule_offer, so a path the module grants is not refused by the
// back end for a different reading of the same rules.
//
// Plain C++ with no dependencies: the module and kalder-backend include it.
#ifndef KALDER_PATH_RULES_H
#define KALDER_PATH_RULES_H

#include <cstddef>
#include <string_view>

// The choice in progress for one request path; offer every rule in order.
struct kalder_path_rule_match_t {
    std::string_view path;  // the request path, decoded
    size_t best = 0;        // length of the deciding rule's path; 0 while none decides
};

// Offer the next rule's path (decoded). True when this rule now decides: its
// path is a plain byte prefix of the request path and longer than that of
// every earlier rule that matched. So "/data" covers "/database" as well as
// "/data/x", "/a/" covers "/a/" but not "/a", the first of several rules of
// equal length decides, and an empty rule path never decides.
inline bool kalder_path_rule_offer(kalder_path_rule_match_t *match, std::string_view rule_path)
{
    if (rule_path.size() <= match->best || !match->path.starts_with(rule_path))
        return false;
    match->best = rule_path.size();
    return true;
}

#endif
