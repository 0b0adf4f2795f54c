// Guest path rules and the verdicts both layers must reach for them: the
// module's evaluation of effective permissions (test_authz.cpp) and the back
// end's site restrictions (test_backend.cpp) run this one table, so the two
// cannot drift apart.
#ifndef KALDER_TEST_PATH_RULE_CASES_H
#define KALDER_TEST_PATH_RULE_CASES_H

#include <string>
#include <vector>

namespace path_rule_cases {

enum Verdict { PERMITTED, NOT_PERMITTED, UNDECODABLE };

struct Rule {
    const char *perms;
    const char *encoded_path;
};

struct Case {
    std::vector<Rule> rules;  // in document order
    char letter;              // 'r' (GET, HEAD) or 'w' (PUT, DELETE)
    const char *path;         // the request path, decoded
    Verdict verdict;
};

inline std::string describe(const Case &c)
{
    std::string s = std::string(1, c.letter) + " " + c.path + " under [";
    for (const Rule &r : c.rules) s += std::string(" (") + r.perms + ", \"" + r.encoded_path + "\")";
    return s + " ]";
}

inline const std::vector<Case> &cases()
{
    static const std::vector<Case> table = [] {
        const std::vector<Rule> private_dir = {{"r", "/"}, {"", "/private/"}};
        const std::vector<Rule> data = {{"r", "/data"}};
        std::vector<Case> t = {
            // The longest matching path decides, whether it permits or not.
            {private_dir, 'r', "/private/x", NOT_PERMITTED},
            {private_dir, 'r', "/public/x", PERMITTED},
            {private_dir, 'w', "/public/x", NOT_PERMITTED},
            {{{"r", "/"}, {"", "/a/b/c"}}, 'r', "/a/b", PERMITTED},
            // Of rules of equal length the first decides.
            {{{"rw", "/a/"}, {"", "/a/"}}, 'r', "/a/f", PERMITTED},
            {{{"rw", "/a/"}, {"", "/a/"}}, 'w', "/a/f", PERMITTED},
            {{{"", "/a/"}, {"rw", "/a/"}}, 'r', "/a/f", NOT_PERMITTED},
            // Plain byte prefixes, not path components.
            {data, 'r', "/database", PERMITTED},
            {data, 'r', "/database/file", PERMITTED},
            {data, 'r', "/data/file", PERMITTED},
            {data, 'r', "/dat/file", NOT_PERMITTED},
            {data, 'w', "/database/file", NOT_PERMITTED},
            {{{"r", "/data"}, {"", "/datab"}}, 'r', "/database", NOT_PERMITTED},
            {{{"r", "/a/"}}, 'r', "/a/", PERMITTED},
            {{{"r", "/a/"}}, 'r', "/a", NOT_PERMITTED},
            {{{"r", "/a/"}}, 'r', "/ab", NOT_PERMITTED},
            // Paths are decoded before they are compared.
            {{{"r", "/a%20b/"}}, 'r', "/a b/f", PERMITTED},
            // No rules, or only an empty path, permit nothing.
            {{}, 'r', "/x", NOT_PERMITTED},
            {{{"rw", ""}}, 'r', "/x", NOT_PERMITTED},
            {{{"rw", ""}, {"r", "/"}}, 'r', "/x", PERMITTED},
            {{{"rw", ""}, {"r", "/"}}, 'w', "/x", NOT_PERMITTED},
        };
        // An escaped slash or NUL, or a malformed escape, spoils every request.
        for (const char *bad : {"/a%2Fb/", "/a%2f/", "/a%00/", "/a%zz/", "/a%2"})
            t.push_back({{{"r", "/"}, {"r", bad}}, 'r', "/zzz", UNDECODABLE});
        return t;
    }();
    return table;
}

}  // namespace path_rule_cases

#endif
