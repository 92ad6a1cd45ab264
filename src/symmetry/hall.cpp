// Hall symbols ("-P 2ybc", "F 4d 2 3 -1d", "P 3* 2 (0 0 1)") read into the
// full list of operations of the space group they name.
//
// The symbol lists generators: an optional "-" (inversion) and the lattice
// letter with its centring vectors, then one token per rotation: optional
// "-" (improper), the order N, an optional screw digit, an optional axis
// (x, y, z, ' or " for a face diagonal, * for the body diagonal) and
// translation letters; at the end an optional change of basis in
// parentheses, either an origin shift in twelfths "(0 0 1)" or an operation
// "(x,y,z+1/4)". The group is the closure of the generators.
//
// Arithmetic is exact: rotations are integer matrices and translations count
// in 24ths of a cell edge, which holds every translation a Hall symbol writes
// (halves, thirds, quarters, sixths, twelfths) and the eighths an origin shift
// may add; two operations are equal exactly when their numbers are.
#include <algorithm>
#include <array>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "base/ascii.hpp"
#include "base/text.hpp"
#include "base/vec3.hpp"
#include "symmetry/space_group.hpp"

namespace kestrel {
namespace {

constexpr int kDenominator = 24;  // translations are counted in 24ths

using IntMat = std::array<std::array<int, 3>, 3>;
using IntVec = IntVec3;

struct ExactOperation {
    IntMat rotation{};
    IntVec translation{};  // in 24ths, reduced to [0, 24)

    bool operator==(const ExactOperation&) const = default;
};

constexpr IntMat kIdentity{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};

int wrap(int value) {
    return ((value % kDenominator) + kDenominator) % kDenominator;
}

IntVec wrapped(const IntVec& v) {
    return {wrap(v[0]), wrap(v[1]), wrap(v[2])};
}

IntMat multiply(const IntMat& a, const IntMat& b) {
    IntMat out{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k) out[i][j] += a[i][k] * b[k][j];
    return out;
}

IntVec multiply(const IntMat& a, const IntVec& v) {
    IntVec out{};
    for (int i = 0; i < 3; ++i)
        for (int k = 0; k < 3; ++k) out[i] += a[i][k] * v[k];
    return out;
}

// a after b: x -> Ra (Rb x + tb) + ta.
ExactOperation compose(const ExactOperation& a, const ExactOperation& b) {
    return {multiply(a.rotation, b.rotation), wrapped(multiply(a.rotation, b.translation) + a.translation)};
}

int determinant(const IntMat& m) {
    return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) - m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
           m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
}

// Only called for determinant +-1, where the adjugate is the exact inverse.
IntMat unimodular_inverse(const IntMat& m) {
    const int det = determinant(m);
    IntMat out{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            const int r0 = (j + 1) % 3, r1 = (j + 2) % 3, c0 = (i + 1) % 3, c1 = (i + 2) % 3;
            out[i][j] = (m[r0][c0] * m[r1][c1] - m[r0][c1] * m[r1][c0]) * det;
        }
    return out;
}

// Centring translations of the lattice letter, the zero vector not included.
std::optional<std::vector<IntVec>> centring_vectors(char letter) {
    switch (letter) {
        case 'P': return std::vector<IntVec>{};
        case 'A': return std::vector<IntVec>{{0, 12, 12}};
        case 'B': return std::vector<IntVec>{{12, 0, 12}};
        case 'C': return std::vector<IntVec>{{12, 12, 0}};
        case 'I': return std::vector<IntVec>{{12, 12, 12}};
        case 'R': return std::vector<IntVec>{{16, 8, 8}, {8, 16, 16}};
        case 'S': return std::vector<IntVec>{{8, 8, 16}, {16, 16, 8}};
        case 'T': return std::vector<IntVec>{{8, 16, 8}, {16, 8, 16}};
        case 'F': return std::vector<IntVec>{{0, 12, 12}, {12, 0, 12}, {12, 12, 0}};
        default: return std::nullopt;
    }
}

std::optional<IntVec> translation_of_letter(char letter) {
    switch (letter) {
        case 'a': return IntVec{12, 0, 0};
        case 'b': return IntVec{0, 12, 0};
        case 'c': return IntVec{0, 0, 12};
        case 'n': return IntVec{12, 12, 12};
        case 'u': return IntVec{6, 0, 0};
        case 'v': return IntVec{0, 6, 0};
        case 'w': return IntVec{0, 0, 6};
        case 'd': return IntVec{6, 6, 6};
        default: return std::nullopt;
    }
}

// Rotations about z; those about x and y are the same with the axes cycled.
IntMat rotation_about_z(int order) {
    switch (order) {
        case 2: return {{{-1, 0, 0}, {0, -1, 0}, {0, 0, 1}}};
        case 3: return {{{0, -1, 0}, {1, -1, 0}, {0, 0, 1}}};
        case 4: return {{{0, -1, 0}, {1, 0, 0}, {0, 0, 1}}};
        case 6: return {{{1, -1, 0}, {1, 0, 0}, {0, 0, 1}}};
        default: return kIdentity;
    }
}

// Twofold axes along the face diagonals normal to z: ' is a-b, " is a+b.
constexpr IntMat kPrimeAboutZ{{{0, -1, 0}, {-1, 0, 0}, {0, 0, -1}}};
constexpr IntMat kDoublePrimeAboutZ{{{0, 1, 0}, {1, 0, 0}, {0, 0, -1}}};
constexpr IntMat kBodyDiagonalThreefold{{{0, 0, 1}, {1, 0, 0}, {0, 1, 0}}};

// The z-axis matrix turned to axis 0 (x), 1 (y) or 2 (z).
IntMat about_axis(const IntMat& about_z, int axis) {
    const int shift = (axis + 1) % 3;  // x: 1, y: 2, z: 0
    IntMat out{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) out[(i + shift) % 3][(j + shift) % 3] = about_z[i][j];
    return out;
}

// Where a rotation points: a principal axis (0, 1, 2) or one of the others.
enum class Axis { x, y, z, prime, double_prime, body_diagonal, none };

int principal_index(Axis axis) {
    return axis == Axis::x ? 0 : axis == Axis::y ? 1 : 2;
}

// The whole character at `at`, so a message never cuts a UTF-8 sequence.
std::string_view character_at(std::string_view text, std::size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    return text.substr(at, lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2);
}

// One rotation token read: its operation, and the order and axis it used,
// which set the defaults of the next token.
struct Rotation {
    ExactOperation op;
    int order = 0;
    Axis axis = Axis::none;
};

struct HallReader {
    std::string symbol;  // as given, for messages

    StructureError error(const std::string& reason) const {
        return fail("cannot read Hall symbol '" + symbol + "': " + reason);
    }

    // One rotation token. `position` counts the rotations from 0; the
    // rotation before it sets the default axis and what ' and " turn about.
    Result<Rotation> rotation_token(std::string_view token, int position, const Rotation& previous) const {
        const std::string quoted = "'" + std::string(token) + "'";
        std::size_t at = 0;
        const bool improper = token[at] == '-';
        if (improper) ++at;
        if (at >= token.size() || std::string_view("12346").find(token[at]) == std::string_view::npos)
            return error("expected a rotation order 1, 2, 3, 4 or 6 in " + quoted);
        const int order = token[at++] - '0';
        int screw = 0;
        if (at < token.size() && token[at] >= '1' && token[at] <= '9') {
            screw = token[at++] - '0';
            if (screw >= order) return error("screw part " + std::to_string(screw) + " too large in " + quoted);
        }
        Axis axis = Axis::none;
        if (at < token.size()) {
            switch (token[at]) {
                case 'x': axis = Axis::x; break;
                case 'y': axis = Axis::y; break;
                case 'z': axis = Axis::z; break;
                case '\'': axis = Axis::prime; break;
                case '"': axis = Axis::double_prime; break;
                case '*': axis = Axis::body_diagonal; break;
                default: break;
            }
            if (axis != Axis::none) ++at;
        }
        if (axis == Axis::none && order != 1) {
            // The defaults of the notation: the first rotation is about c; a
            // following twofold is about a after a 2 or 4 and about a-b after a
            // 3 or 6; a threefold in third place is about a+b+c.
            if (position == 0) axis = Axis::z;
            else if (position == 1 && order == 2 && (previous.order == 2 || previous.order == 4)) axis = Axis::x;
            else if (position == 1 && order == 2 && (previous.order == 3 || previous.order == 6)) axis = Axis::prime;
            else if (position == 2 && order == 3) axis = Axis::body_diagonal;
            else return error("no axis given or implied for " + quoted);
        }

        ExactOperation op{kIdentity, {}};
        if (order != 1) {
            switch (axis) {
                case Axis::x:
                case Axis::y:
                case Axis::z:
                    op.rotation = about_axis(rotation_about_z(order), principal_index(axis));
                    if (screw != 0) op.translation[principal_index(axis)] = kDenominator * screw / order;
                    break;
                case Axis::prime:
                case Axis::double_prime: {
                    if (order != 2) return error("only twofold axes lie along a face diagonal, not " + quoted);
                    const int relative_to =
                        previous.axis == Axis::x || previous.axis == Axis::y ? principal_index(previous.axis) : 2;
                    op.rotation = about_axis(axis == Axis::prime ? kPrimeAboutZ : kDoublePrimeAboutZ, relative_to);
                    break;
                }
                case Axis::body_diagonal:
                    if (order != 3) return error("only threefold axes lie along the body diagonal, not " + quoted);
                    op.rotation = kBodyDiagonalThreefold;
                    break;
                case Axis::none: break;
            }
            if (screw != 0 && (axis != Axis::x && axis != Axis::y && axis != Axis::z))
                return error("a screw part needs a principal axis in " + quoted);
        }
        for (; at < token.size(); ++at) {
            std::optional<IntVec> shift = translation_of_letter(token[at]);
            if (!shift) return error("unknown letter '" + std::string(character_at(token, at)) + "' in " + quoted);
            op.translation = op.translation + *shift;
        }
        if (improper)
            for (auto& row : op.rotation)
                for (int& entry : row) entry = -entry;
        op.translation = wrapped(op.translation);
        return Rotation{op, order, axis};
    }

    // "(x,y,z+1/4)" or "(0 0 1)" (twelfths), without the parentheses.
    Result<ExactOperation> change_of_basis(std::string_view text) const {
        ExactOperation basis{kIdentity, {}};
        if (text.find(',') != std::string_view::npos) {
            Result<SymmetryOperation> parsed = parse_symmetry_operation(text);
            if (!parsed) return error("change of basis: " + parsed.error().message);
            for (int i = 0; i < 3; ++i) {
                for (int j = 0; j < 3; ++j) {
                    const double entry = parsed->rotation[i][j];
                    if (entry != std::round(entry) || std::abs(entry) > 12)
                        return error("the change of basis must have whole-number coefficients");
                    basis.rotation[i][j] = static_cast<int>(entry);
                }
                const double scaled = parsed->translation[i] * kDenominator;
                if (!(std::abs(scaled - std::round(scaled)) < 1e-9) || std::abs(scaled) > 1e6)
                    return error("the change of basis shifts the origin by other than 24ths");
                basis.translation[i] = static_cast<int>(std::round(scaled));
            }
        } else {
            const std::vector<std::string_view> parts = split_tokens(text);
            if (parts.size() != 3) return error("expected three numbers in the origin shift");
            for (int i = 0; i < 3; ++i) {
                std::optional<double> twelfths = try_parse_number(parts[i]);
                if (!twelfths || *twelfths != std::round(*twelfths) || std::abs(*twelfths) > 1e6)
                    return error("the origin shift counts whole twelfths, not '" + std::string(parts[i]) + "'");
                basis.translation[i] = 2 * static_cast<int>(*twelfths);
            }
        }
        // A basis of another volume would change the lattice and with it
        // which translations count as whole ones; such symbols are not read.
        if (std::abs(determinant(basis.rotation)) != 1) return error("the change of basis must keep the cell volume");
        basis.translation = wrapped(basis.translation);
        return basis;
    }
};

// Whether the list holds the operation up to a centring translation.
bool contains(const std::vector<ExactOperation>& ops, const ExactOperation& op, const std::vector<IntVec>& centrings) {
    for (const ExactOperation& other : ops) {
        if (other.rotation != op.rotation) continue;
        if (other.translation == op.translation) return true;
        for (const IntVec& c : centrings)
            if (wrapped(other.translation + c) == op.translation) return true;
    }
    return false;
}

bool within_unit_entries(const IntMat& m) {
    for (const auto& row : m)
        for (int entry : row)
            if (entry < -1 || entry > 1) return false;
    return true;
}

// No space group has more operations in a conventional cell (m-3m with F).
constexpr std::size_t kMaxOperations = 192;

}  // namespace

Result<std::vector<SymmetryOperation>> operations_from_hall(std::string_view hall) {
    const HallReader reader{std::string(hall)};
    std::string_view text = trim(hall);

    std::optional<ExactOperation> basis;
    if (const std::size_t open = text.find('('); open != std::string_view::npos) {
        const std::size_t close = text.find(')', open);
        if (close == std::string_view::npos || !trim(text.substr(close + 1)).empty())
            return reader.error("the change of basis must close with ')' at the end");
        Result<ExactOperation> parsed = reader.change_of_basis(text.substr(open + 1, close - open - 1));
        if (!parsed) return parsed.take_error();
        basis = *parsed;
        text = trim(text.substr(0, open));
    }

    // Two single quotes are a common way of typing the double prime.
    std::string lowered;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\'' && i + 1 < text.size() && text[i + 1] == '\'') {
            lowered += '"';
            ++i;
        } else {
            lowered += ascii_lower(text[i]);
        }
    }
    const std::vector<std::string_view> tokens = split_tokens(lowered);
    if (tokens.empty()) return reader.error("it is empty");

    std::string_view lattice_token = tokens[0];
    const bool centrosymmetric = lattice_token.front() == '-';
    if (centrosymmetric) lattice_token.remove_prefix(1);
    if (lattice_token.size() != 1)
        return reader.error("expected a lattice letter, found '" + std::string(tokens[0]) + "'");
    const char lattice = ascii_upper(lattice_token[0]);
    std::optional<std::vector<IntVec>> centrings = centring_vectors(lattice);
    if (!centrings) return reader.error("unknown lattice letter '" + std::string(1, lattice) + "'");
    if (tokens.size() < 2) return reader.error("no rotation follows the lattice letter");

    std::vector<ExactOperation> generators;
    if (centrosymmetric) generators.push_back({{{{-1, 0, 0}, {0, -1, 0}, {0, 0, -1}}}, {}});
    Rotation previous{{kIdentity, {}}, 0, Axis::z};
    for (std::size_t k = 1; k < tokens.size(); ++k) {
        Result<Rotation> rotation = reader.rotation_token(tokens[k], static_cast<int>(k - 1), previous);
        if (!rotation) return rotation.take_error();
        generators.push_back(rotation->op);
        previous = *rotation;
    }

    // Closure up to centring: every product of an operation found with a
    // generator, until nothing new appears; the identity stays first.
    const std::size_t centred_copies = centrings->size() + 1;
    std::vector<ExactOperation> representatives{{kIdentity, {}}};
    for (std::size_t i = 0; i < representatives.size(); ++i) {
        for (const ExactOperation& g : generators) {
            ExactOperation product = compose(g, representatives[i]);
            if (contains(representatives, product, *centrings)) continue;
            // Rotations of a space group, on the axes a Hall symbol uses, have
            // entries -1, 0 and 1; a larger one means generators of an infinite
            // group, whose entries would grow without bound.
            if ((representatives.size() + 1) * centred_copies > kMaxOperations ||
                !within_unit_entries(product.rotation))
                return reader.error("the generators do not close into a space group");
            representatives.push_back(product);
        }
    }
    std::vector<ExactOperation> group = representatives;
    for (const IntVec& c : *centrings)
        for (const ExactOperation& op : representatives) group.push_back({op.rotation, wrapped(op.translation + c)});

    if (basis) {
        // In the new basis an operation S reads C S C^-1.
        const IntMat inverse_rotation = unimodular_inverse(basis->rotation);
        IntVec inverse_translation = multiply(inverse_rotation, basis->translation);
        for (int& t : inverse_translation) t = -t;
        const ExactOperation inverse{inverse_rotation, wrapped(inverse_translation)};
        for (ExactOperation& op : group) op = compose(*basis, compose(op, inverse));
    }

    std::vector<SymmetryOperation> out;
    out.reserve(group.size());
    for (const ExactOperation& op : group) {
        SymmetryOperation converted;
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) converted.rotation[i][j] = op.rotation[i][j];
            converted.translation[i] = static_cast<double>(op.translation[i]) / kDenominator;
        }
        out.push_back(converted);
    }
    return out;
}

}  // namespace kestrel
