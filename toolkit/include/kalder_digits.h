// Values of the digits of the text encodings the module's core and the back
// end read: hexadecimal and the two base64 alphabets (standard "+/" and
// URL-safe "-_"). Header only.
#ifndef KALDER_DIGITS_H
#define KALDER_DIGITS_H

// The value of a hexadecimal digit (either case), or -1.
constexpr int hex_digit_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The 6-bit value of a base64 character whose alphabet ends with `c62` and
// `c63`, or -1.
constexpr int base64_digit_value(char c, char c62, char c63)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == c62)
        return 62;
    if (c == c63)
        return 63;
    return -1;
}

#endif
