// The MIF reader: a tokenizer for the file's words, numbers, quoted strings and punctuation,
// and a recursive-descent parser for its nested start/end blocks. Every refusal names the line
// where the parser stopped understanding the file.
#include "mif_parser.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>
#include <unordered_map>

#include "dmi/dmi_names.h"
#include "korvo/ascii.h"
#include "korvo/hex_digit.h"

namespace korvo::mif {
namespace {

std::string Folded(std::string_view text) {
    std::string folded(text);
    for (char& c : folded) {
        c = AsciiLower(c);
    }
    return folded;
}

enum class TokenKind { Word, Number, Text, Equals, Open, Close, Comma, End };

struct Token {
    TokenKind kind = TokenKind::End;
    std::string text;        // the word, or the string's contents
    uint64_t magnitude = 0;  // a number's absolute value
    bool negative = false;
    int line = 0;
};

// Thrown inside the parser to unwind to ParseMifText, which turns it into a ParseError.
struct Refusal {
    int line;
    std::string message;
};

std::string Describe(const Token& token) {
    switch (token.kind) {
        case TokenKind::Word:
            return "'" + token.text + "'";
        case TokenKind::Number:
            return "the number " + std::string(token.negative ? "-" : "") +
                   std::to_string(token.magnitude);
        case TokenKind::Text:
            return "the string \"" + token.text + "\"";
        case TokenKind::Equals:
            return "'='";
        case TokenKind::Open:
            return "'('";
        case TokenKind::Close:
            return "')'";
        case TokenKind::Comma:
            return "','";
        case TokenKind::End:
            return "the end of the file";
    }
    return "?";
}

class Tokenizer {
  public:
    explicit Tokenizer(std::string_view text) : text_(text) {}

    Token Next() {
        SkipSpaceAndComments();
        Token token;
        token.line = line_;
        if (at_ >= text_.size()) {
            return token;
        }
        const char c = text_[at_];
        if (c == '"') {
            return ReadString();
        }
        if (c == '-' || IsDigit(c)) {
            return ReadNumber();
        }
        if (IsWordStart(c)) {
            const size_t start = at_;
            while (at_ < text_.size() && IsWordChar(text_[at_])) {
                ++at_;
            }
            token.kind = TokenKind::Word;
            token.text = std::string(text_.substr(start, at_ - start));
            return token;
        }
        ++at_;
        switch (c) {
            case '=':
                token.kind = TokenKind::Equals;
                return token;
            case '(':
                token.kind = TokenKind::Open;
                return token;
            case ')':
                token.kind = TokenKind::Close;
                return token;
            case ',':
                token.kind = TokenKind::Comma;
                return token;
            default:
                break;
        }
        if (c == '\0') {
            throw Refusal{line_, "a NUL byte: this is not a MIF text file"};
        }
        const unsigned char byte = static_cast<unsigned char>(c);
        std::ostringstream message;
        if (byte >= 0x20 && byte < 0x7F) {
            message << "unexpected character '" << c << "'";
        } else {
            message << "unexpected byte 0x" << std::hex << static_cast<int>(byte)
                    << " outside a string";
        }
        throw Refusal{line_, message.str()};
    }

  private:
    static bool IsDigit(char c) { return c >= '0' && c <= '9'; }
    static bool IsWordStart(char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
    }
    static bool IsWordChar(char c) { return IsWordStart(c) || IsDigit(c) || c == '-'; }

    void SkipSpaceAndComments() {
        while (at_ < text_.size()) {
            const char c = text_[at_];
            if (c == '\n') {
                ++line_;
                ++at_;
            } else if (c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v') {
                ++at_;
            } else if (c == '/' && at_ + 1 < text_.size() && text_[at_ + 1] == '/') {
                while (at_ < text_.size() && text_[at_] != '\n') {
                    ++at_;
                }
            } else {
                return;
            }
        }
    }

    Token ReadString() {
        Token token;
        token.kind = TokenKind::Text;
        token.line = line_;
        ++at_;  // the opening quote
        while (true) {
            if (at_ >= text_.size() || text_[at_] == '\n') {
                throw Refusal{token.line, "a string is not closed on the line where it starts"};
            }
            const char c = text_[at_++];
            if (c == '"') {
                return token;
            }
            if (c == '\0') {
                throw Refusal{line_, "a NUL byte inside a string"};
            }
            if (c != '\\') {
                token.text.push_back(c);
                continue;
            }
            if (at_ >= text_.size()) {
                throw Refusal{token.line, "a string is not closed on the line where it starts"};
            }
            const char escaped = text_[at_++];
            switch (escaped) {
                case '\\':
                case '"':
                    token.text.push_back(escaped);
                    break;
                case 'n':
                    token.text.push_back('\n');
                    break;
                case 't':
                    token.text.push_back('\t');
                    break;
                default:
                    throw Refusal{line_, std::string("unknown escape '\\") + escaped +
                                             "' in a string (write \\\\ for a backslash)"};
            }
        }
    }

    Token ReadNumber() {
        Token token;
        token.kind = TokenKind::Number;
        token.line = line_;
        if (text_[at_] == '-') {
            token.negative = true;
            ++at_;
            if (at_ >= text_.size() || !IsDigit(text_[at_])) {
                throw Refusal{line_, "'-' is not followed by a number"};
            }
        }
        unsigned base = 10;
        if (text_[at_] == '0' && at_ + 1 < text_.size() &&
            (text_[at_ + 1] == 'x' || text_[at_ + 1] == 'X')) {
            base = 16;
            at_ += 2;
        }
        const size_t start = at_;
        while (at_ < text_.size() && (IsWordChar(text_[at_]))) {
            const int value = HexDigit(text_[at_]);
            const auto digit = static_cast<unsigned>(value);
            if (value < 0 || digit >= base) {
                throw Refusal{line_, "'" + std::string(text_.substr(start, at_ - start + 1)) +
                                         "' is not a number"};
            }
            if (token.magnitude > (std::numeric_limits<uint64_t>::max() - digit) / base) {
                throw Refusal{line_, "a number too large for 64 bits"};
            }
            token.magnitude = token.magnitude * base + digit;
            ++at_;
        }
        if (at_ == start) {
            throw Refusal{line_, "'0x' is not followed by hexadecimal digits"};
        }
        return token;
    }

    std::string_view text_;
    size_t at_ = 0;
    int line_ = 1;
};

// The range of values a number of each type can hold; values are kept as 64-bit patterns.
bool FitsType(const Token& number, DataType type) {
    const bool wide = type == DataType::Counter64 || type == DataType::Integer64;
    if (number.negative) {
        if (type != DataType::Integer && type != DataType::Integer64) {
            return false;  // counters and gauges count up from 0
        }
        const uint64_t limit = wide ? (uint64_t{1} << 63) : (uint64_t{1} << 31);
        return number.magnitude <= limit;
    }
    return wide || number.magnitude <= std::numeric_limits<uint32_t>::max();
}

uint64_t Bits(const Token& number) {
    return number.negative ? (~number.magnitude + 1) : number.magnitude;
}

bool IsTextType(DataType type) {
    return type == DataType::OctetString || type == DataType::DisplayString ||
           type == DataType::Date;
}

// An attribute typed by the name of a component-level enumeration, resolved when the
// component ends so that the enumeration may be declared before or after its use.
struct EnumReference {
    std::string name;
    int line = 0;  // of the type statement
    size_t groupIndex = 0;
    size_t attributeIndex = 0;
    std::optional<Token> value;  // the declared value, checked against the enumeration
};

class Parser {
  public:
    explicit Parser(std::string_view text) : tokens_(text) { Advance(); }

    Component ParseFile() {
        ExpectStart("component");
        Component component = ParseComponent();
        if (current_.kind != TokenKind::End) {
            throw Refusal{current_.line,
                          "unexpected " + Describe(current_) + " after 'end component'"};
        }
        return component;
    }

  private:
    void Advance() { current_ = tokens_.Next(); }

    bool AtWord(std::string_view word) const {
        return current_.kind == TokenKind::Word && AsciiEqualFold(current_.text, word);
    }

    void ExpectWord(std::string_view word, std::string_view context) {
        if (!AtWord(word)) {
            throw Refusal{current_.line, "expected '" + std::string(word) + "' " +
                                             std::string(context) + ", found " +
                                             Describe(current_)};
        }
        Advance();
    }

    void ExpectStart(std::string_view block) {
        ExpectWord("start", "to open the " + std::string(block));
        ExpectWord(block, "after 'start'");
    }

    void ExpectEquals(const std::string& name) {
        if (current_.kind != TokenKind::Equals) {
            throw Refusal{current_.line,
                          "expected '=' after '" + name + "', found " + Describe(current_)};
        }
        Advance();
    }

    std::string ExpectText(const std::string& name) {
        if (current_.kind != TokenKind::Text) {
            throw Refusal{current_.line,
                          "'" + name + "' needs a quoted string, found " + Describe(current_)};
        }
        std::string text = current_.text;
        Advance();
        return text;
    }

    uint32_t ExpectId(const std::string& name) {
        if (current_.kind != TokenKind::Number || current_.negative ||
            current_.magnitude > std::numeric_limits<uint32_t>::max()) {
            throw Refusal{
                current_.line,
                "'" + name + "' needs a number from 0 to 4294967295, found " + Describe(current_)};
        }
        const auto id = static_cast<uint32_t>(current_.magnitude);
        Advance();
        return id;
    }

    // Records that statement `name` was given on `line` of the block; a second time is an
    // error naming the first.
    static void Once(std::map<std::string, int>& seen, const std::string& name, int line) {
        const auto [where, inserted] = seen.emplace(Folded(name), line);
        if (!inserted) {
            throw Refusal{line, "'" + name + "' is given twice (first on line " +
                                    std::to_string(where->second) + ")"};
        }
    }

    // At 'end': checks that the block being closed is `block`.
    void ExpectEnd(std::string_view block, int openedOn) {
        ExpectWord("end", "");
        if (!AtWord(block)) {
            throw Refusal{
                current_.line,
                "'end " + (current_.kind == TokenKind::Word ? current_.text : Describe(current_)) +
                    "' closes the " + std::string(block) + " opened on line " +
                    std::to_string(openedOn)};
        }
        Advance();
    }

    void RefuseEndOfFile(std::string_view block, int openedOn) {
        if (current_.kind == TokenKind::End) {
            throw Refusal{current_.line, "the file ends inside the " + std::string(block) +
                                             " opened on line " + std::to_string(openedOn)};
        }
    }

    // Reads `name =` and leaves the parser at the value.
    std::string StatementName(std::string_view block) {
        if (current_.kind != TokenKind::Word) {
            throw Refusal{current_.line, "expected a statement of the " + std::string(block) +
                                             ", found " + Describe(current_)};
        }
        std::string name = current_.text;
        Advance();
        ExpectEquals(name);
        return name;
    }

    Component ParseComponent() {
        const int opened = current_.line;
        Component component;
        std::map<std::string, int> seen;
        std::unordered_map<uint32_t, int> groupLines;
        declared_.clear();
        while (!AtWord("end")) {
            RefuseEndOfFile("component", opened);
            const int line = current_.line;
            if (AtWord("start")) {
                Advance();
                if (AtWord("group")) {
                    Advance();
                    Group group = ParseGroup(line, component.groups.size());
                    const auto [known, added] = groupLines.emplace(group.id, group.line);
                    if (!added) {
                        throw Refusal{group.line, "group id " + std::to_string(group.id) +
                                                      " is already used by the group on line " +
                                                      std::to_string(known->second)};
                    }
                    component.groups.push_back(std::move(group));
                } else if (AtWord("enum")) {
                    Advance();
                    Enumeration enumeration = ParseEnum(line, true);
                    const auto [known, added] = declared_.emplace(
                        Folded(enumeration.name), std::make_shared<const Enumeration>(enumeration));
                    if (!added) {
                        throw Refusal{line, "enumeration \"" + enumeration.name +
                                                "\" is already declared on line " +
                                                std::to_string(known->second->line)};
                    }
                    component.enumerations.push_back(std::move(enumeration));
                } else {
                    throw Refusal{line, "a component holds groups and enumerations, not " +
                                            Describe(current_)};
                }
                continue;
            }
            const std::string name = StatementName("component");
            if (AsciiEqualFold(name, "name")) {
                Once(seen, name, line);
                component.name = ExpectText(name);
            } else if (AsciiEqualFold(name, "description")) {
                Once(seen, name, line);
                component.description = ExpectText(name);
            } else {
                throw Refusal{line, "unknown statement '" + name + "' in the component"};
            }
        }
        ExpectEnd("component", opened);
        if (!seen.contains("name")) {
            throw Refusal{opened, "the component has no name"};
        }
        ResolveEnumReferences(component);
        return component;
    }

    Enumeration ParseEnum(int opened, bool declared) {
        Enumeration enumeration;
        enumeration.line = opened;
        std::map<std::string, int> seen;
        while (!AtWord("end")) {
            RefuseEndOfFile("enum", opened);
            const int line = current_.line;
            if (current_.kind == TokenKind::Number) {
                const Token number = current_;
                if (!FitsType(number, DataType::Integer)) {
                    throw Refusal{line, "enumeration value out of the 32-bit range"};
                }
                Advance();
                ExpectEquals(number.negative ? "-" + std::to_string(number.magnitude)
                                             : std::to_string(number.magnitude));
                EnumItem item;
                item.number =
                    static_cast<int64_t>(number.negative ? -static_cast<int64_t>(number.magnitude)
                                                         : static_cast<int64_t>(number.magnitude));
                item.text = ExpectText("enumeration value");
                const int64_t listed = item.number;
                if (!enumeration.Add(std::move(item))) {
                    throw Refusal{
                        line, "enumeration value " + std::to_string(listed) + " is listed twice"};
                }
                continue;
            }
            const std::string name = StatementName("enum");
            if (AsciiEqualFold(name, "name")) {
                Once(seen, name, line);
                enumeration.name = ExpectText(name);
            } else if (AsciiEqualFold(name, "type")) {
                Once(seen, name, line);
                uint32_t ignoredSize = 0;
                enumeration.type = ParseBaseType(&ignoredSize);
                if (IsTextType(enumeration.type)) {
                    throw Refusal{line, "an enumeration's type must be a number type"};
                }
            } else {
                throw Refusal{line, "unknown statement '" + name + "' in the enumeration"};
            }
        }
        ExpectEnd("enum", opened);
        if (declared && enumeration.name.empty()) {
            throw Refusal{opened, "an enumeration declared in the component needs a name"};
        }
        if (enumeration.items.empty()) {
            throw Refusal{opened, "the enumeration lists no values"};
        }
        return enumeration;
    }

    // A type word and, for strings, its size in parentheses. Returns the type; `size` gets the
    // string size or the number's width in bytes.
    DataType ParseBaseType(uint32_t* size) {
        if (current_.kind != TokenKind::Word) {
            throw Refusal{current_.line, "expected a type, found " + Describe(current_)};
        }
        const Token word = current_;
        const uint32_t code = dmi::TypeCodeOfName(word.text);
        if (code != 0) {
            const auto type = static_cast<DataType>(code);
            const uint32_t width = dmi::FindType(code)->size;
            Advance();
            if (width != 0) {
                if (current_.kind == TokenKind::Open) {
                    throw Refusal{current_.line,
                                  "type '" + word.text + "' takes no size in parentheses"};
                }
                *size = width;
                return type;
            }
            if (current_.kind != TokenKind::Open) {
                throw Refusal{word.line,
                              "type '" + word.text + "' needs a size: " + word.text + "(n)"};
            }
            Advance();
            const uint32_t declared = ExpectId("the size of " + word.text);
            if (declared == 0) {
                throw Refusal{word.line, "a string's size must be at least 1"};
            }
            if (current_.kind != TokenKind::Close) {
                throw Refusal{current_.line,
                              "expected ')' after the size, found " + Describe(current_)};
            }
            Advance();
            *size = declared;
            return type;
        }
        throw Refusal{word.line, "unknown type '" + word.text + "'"};
    }

    Group ParseGroup(int opened, size_t groupIndex) {
        Group group;
        group.line = opened;
        std::map<std::string, int> seen;
        std::unordered_map<uint32_t, int> attributeLines;
        int keyLine = 0;
        while (!AtWord("end")) {
            RefuseEndOfFile("group", opened);
            const int line = current_.line;
            if (AtWord("start")) {
                Advance();
                if (!AtWord("attribute")) {
                    throw Refusal{line, "a group holds attributes, not " + Describe(current_)};
                }
                Advance();
                std::optional<EnumReference> reference;
                Attribute attribute = ParseAttribute(line, &reference);
                const auto [known, added] = attributeLines.emplace(attribute.id, attribute.line);
                if (!added) {
                    throw Refusal{attribute.line, "attribute id " + std::to_string(attribute.id) +
                                                      " is already used by the attribute on line " +
                                                      std::to_string(known->second)};
                }
                if (reference) {
                    reference->groupIndex = groupIndex;
                    reference->attributeIndex = group.attributes.size();
                    enumReferences_.push_back(*reference);
                }
                group.attributes.push_back(std::move(attribute));
                continue;
            }
            const std::string name = StatementName("group");
            Once(seen, name, line);
            if (AsciiEqualFold(name, "name")) {
                group.name = ExpectText(name);
            } else if (AsciiEqualFold(name, "class")) {
                group.className = ExpectText(name);
            } else if (AsciiEqualFold(name, "description")) {
                group.description = ExpectText(name);
            } else if (AsciiEqualFold(name, "id")) {
                group.id = ExpectId(name);
            } else if (AsciiEqualFold(name, "key")) {
                keyLine = line;
                group.keys.push_back(ExpectId(name));
                while (current_.kind == TokenKind::Comma) {
                    Advance();
                    group.keys.push_back(ExpectId(name));
                }
            } else {
                throw Refusal{line, "unknown statement '" + name + "' in the group"};
            }
        }
        ExpectEnd("group", opened);
        for (const char* required : {"name", "class", "id"}) {
            if (!seen.contains(required)) {
                throw Refusal{opened, std::string("the group has no ") + required};
            }
        }
        for (uint32_t key : group.keys) {
            if (!attributeLines.contains(key)) {
                throw Refusal{keyLine, "key attribute " + std::to_string(key) +
                                           " is not an attribute of the group"};
            }
        }
        return group;
    }

    Attribute ParseAttribute(int opened, std::optional<EnumReference>* reference) {
        Attribute attribute;
        attribute.line = opened;
        std::map<std::string, int> seen;
        std::optional<Token> value;
        while (!AtWord("end")) {
            RefuseEndOfFile("attribute", opened);
            const int line = current_.line;
            const std::string name = StatementName("attribute");
            Once(seen, name, line);
            if (AsciiEqualFold(name, "name")) {
                attribute.name = ExpectText(name);
            } else if (AsciiEqualFold(name, "description")) {
                attribute.description = ExpectText(name);
            } else if (AsciiEqualFold(name, "id")) {
                attribute.id = ExpectId(name);
            } else if (AsciiEqualFold(name, "type")) {
                ParseAttributeType(&attribute, reference);
            } else if (AsciiEqualFold(name, "access")) {
                attribute.access = ParseAccess();
            } else if (AsciiEqualFold(name, "storage")) {
                attribute.storage = ParseStorage();
            } else if (AsciiEqualFold(name, "value")) {
                if (current_.kind != TokenKind::Number && current_.kind != TokenKind::Text) {
                    throw Refusal{line, "'value' needs a number or a quoted string, found " +
                                            Describe(current_)};
                }
                value = current_;
                Advance();
            } else {
                throw Refusal{line, "unknown statement '" + name + "' in the attribute"};
            }
        }
        ExpectEnd("attribute", opened);
        for (const char* required : {"name", "id", "type"}) {
            if (!seen.contains(required)) {
                throw Refusal{opened, std::string("the attribute has no ") + required};
            }
        }
        if (value) {
            if (reference->has_value()) {
                (*reference)->value = value;  // checked once the enumeration is known
            } else {
                attribute.value = CheckValue(attribute, *value);
            }
        }
        return attribute;
    }

    void ParseAttributeType(Attribute* attribute, std::optional<EnumReference>* reference) {
        const int line = current_.line;
        if (AtWord("start")) {
            Advance();
            ExpectWord("enum", "after 'start' in a type");
            attribute->enumeration = std::make_shared<const Enumeration>(ParseEnum(line, false));
            attribute->type = attribute->enumeration->type;
            attribute->maxSize = 4;
            return;
        }
        if (current_.kind == TokenKind::Text) {
            *reference = NameEnumeration(attribute, ExpectText("type"), line);
            return;
        }
        if (current_.kind == TokenKind::Word) {
            const bool isTypeWord = dmi::TypeCodeOfName(current_.text) != 0;
            if (!isTypeWord) {
                const std::string enumName = current_.text;
                Advance();
                *reference = NameEnumeration(attribute, enumName, line);
                return;
            }
        }
        attribute->type = ParseBaseType(&attribute->maxSize);
    }

    static EnumReference NameEnumeration(Attribute* attribute, const std::string& name, int line) {
        attribute->type = DataType::Integer;
        attribute->maxSize = 4;
        EnumReference reference;
        reference.name = name;
        reference.line = line;
        return reference;
    }

    Access ParseAccess() {
        if (AtWord("read-only")) {
            Advance();
            return Access::ReadOnly;
        }
        if (AtWord("read-write")) {
            Advance();
            return Access::ReadWrite;
        }
        if (AtWord("write-only")) {
            Advance();
            return Access::WriteOnly;
        }
        throw Refusal{current_.line, "access must be read-only, read-write or write-only, not " +
                                         Describe(current_)};
    }

    Storage ParseStorage() {
        if (AtWord("common")) {
            Advance();
            return Storage::Common;
        }
        if (AtWord("specific")) {
            Advance();
            return Storage::Specific;
        }
        throw Refusal{current_.line,
                      "storage must be common or specific, not " + Describe(current_)};
    }

    static Value CheckValue(const Attribute& attribute, const Token& token) {
        Value value;
        if (attribute.enumeration && token.kind == TokenKind::Text) {
            const EnumItem* item = attribute.enumeration->FindText(token.text);
            if (item == nullptr) {
                throw Refusal{token.line, "\"" + token.text +
                                              "\" is not a value of the attribute's enumeration"};
            }
            value.integer = static_cast<uint64_t>(item->number);
            return value;
        }
        if (IsTextType(attribute.type)) {
            if (token.kind != TokenKind::Text) {
                throw Refusal{token.line, std::string("a value of type ") +
                                              TypeName(attribute.type) + " must be a string"};
            }
            if (token.text.size() > attribute.maxSize) {
                throw Refusal{token.line, "the value is " + std::to_string(token.text.size()) +
                                              " bytes long, more than the declared size " +
                                              std::to_string(attribute.maxSize)};
            }
            value.isText = true;
            value.text = token.text;
            return value;
        }
        if (token.kind != TokenKind::Number) {
            throw Refusal{token.line, std::string("a value of type ") + TypeName(attribute.type) +
                                          " must be a number"};
        }
        if (!FitsType(token, attribute.type)) {
            throw Refusal{token.line,
                          std::string("the value does not fit type ") + TypeName(attribute.type)};
        }
        value.integer = Bits(token);
        return value;
    }

    void ResolveEnumReferences(Component& component) {
        for (const EnumReference& reference : enumReferences_) {
            Attribute& attribute =
                component.groups[reference.groupIndex].attributes[reference.attributeIndex];
            const auto found = declared_.find(Folded(reference.name));
            if (found == declared_.end()) {
                throw Refusal{reference.line, "type '" + reference.name +
                                                  "' is neither a type nor an enumeration "
                                                  "declared in the component"};
            }
            attribute.enumeration = found->second;
            attribute.type = found->second->type;
            if (reference.value) {
                attribute.value = CheckValue(attribute, *reference.value);
            }
        }
    }

    Tokenizer tokens_;
    Token current_;
    std::vector<EnumReference> enumReferences_;
    // The component's declared enumerations by folded name, shared by the attributes that
    // name them.
    std::unordered_map<std::string, std::shared_ptr<const Enumeration>> declared_;
};

}  // namespace

bool Enumeration::Add(EnumItem item) {
    if (!numberIndex.emplace(item.number, items.size()).second) {
        return false;
    }
    textIndex.emplace(Folded(item.text), items.size());
    items.push_back(std::move(item));
    return true;
}

const EnumItem* Enumeration::FindText(std::string_view text) const {
    const auto found = textIndex.find(Folded(text));
    return found == textIndex.end() ? nullptr : &items[found->second];
}

const EnumItem* Enumeration::FindNumber(int64_t number) const {
    const auto found = numberIndex.find(number);
    return found == numberIndex.end() ? nullptr : &items[found->second];
}

const Attribute* Group::FindAttribute(uint32_t attributeId) const {
    for (const Attribute& attribute : attributes) {
        if (attribute.id == attributeId) {
            return &attribute;
        }
    }
    return nullptr;
}

const Group* Component::FindGroup(uint32_t groupId) const {
    for (const Group& group : groups) {
        if (group.id == groupId) {
            return &group;
        }
    }
    return nullptr;
}

std::string ParseError::Describe() const {
    if (line > 0) {
        return file + ":" + std::to_string(line) + ": " + message;
    }
    return file + ": " + message;
}

ParseResult ParseMifText(std::string_view text, const std::string& fileName) {
    ParseResult result;
    try {
        Parser parser(text);
        result.component = parser.ParseFile();
    } catch (const Refusal& refusal) {
        result.error = ParseError{fileName, refusal.line, refusal.message};
    }
    return result;
}

ParseResult ParseMifFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        ParseResult result;
        result.error =
            ParseError{path, 0, std::string("cannot read the file: ") + std::strerror(errno)};
        return result;
    }
    std::ostringstream contents;
    contents << file.rdbuf();
    if (file.bad()) {
        ParseResult result;
        result.error = ParseError{path, 0, "cannot read the file"};
        return result;
    }
    return ParseMifText(contents.str(), path);
}

const char* TypeName(DataType type) {
    const dmi::TypeEntry* entry = dmi::FindType(TypeCode(type));
    return entry != nullptr ? entry->name : "?";
}

const char* AccessName(Access access) {
    switch (access) {
        case Access::ReadOnly:
            return "read-only";
        case Access::ReadWrite:
            return "read-write";
        case Access::WriteOnly:
            return "write-only";
    }
    return "?";
}

}  // namespace korvo::mif
