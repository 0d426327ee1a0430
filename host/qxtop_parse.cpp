// The query reader of qxtop: a lexer and a recursive-descent parser for the
// small goal language (goals separated by commas and ended by a full stop;
// integers, integer expressions, atoms, variables and lists as arguments).
// Input is untrusted: every error becomes a SyntaxError with a position,
// nesting is bounded, and integers are range-checked.
#include "qxtop.h"

#include <map>

namespace qxtop {
namespace {

constexpr int kMaxNesting = 100;
constexpr uint64_t kMinusInt64Min = uint64_t(1) << 63; // |INT64_MIN|

enum class Tok { INT, NAME, QNAME, VAR, PUNCT, END, EOT, BAD };

struct Token {
  Tok kind = Tok::EOT;
  std::string text;       // the name, the punctuation, or BAD's message
  uint64_t magnitude = 0; // INT: the value (at most 2^63)
  size_t offset = 0;      // where the token starts
  bool call = false;      // NAME or QNAME directly followed by '('
};

// True for a byte that may continue a name: letters, digits, '_' and every
// byte of a multibyte character.
bool IsNameByte(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         c == '_' || c >= 0x80;
}

// True for an ASCII digit.
bool IsDigit(unsigned char c) {
  return c >= '0' && c <= '9';
}

// True for the blanks that separate tokens.
bool IsLayout(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Splits `text` into tokens up to `limit`; never reads past the string and
// always moves forward, so a caller looping to EOT ends.
class Lexer {
public:
  Lexer(const std::string &text, size_t limit)
      : s_(text), limit_(limit < text.size() ? limit : text.size()) {}

  // The next token; EOT at the limit.
  Token Next() {
    SkipLayout();
    Token t;
    t.offset = i_;
    if (i_ >= limit_) return t;
    unsigned char c = At(i_);
    if (IsDigit(c)) return Number(t);
    if (c == '\'') return Quoted(t);
    if (c == '_' || (c >= 'A' && c <= 'Z')) return Name(t, Tok::VAR);
    if (IsNameByte(c)) return Name(t, Tok::NAME);
    return Symbol(t);
  }

private:
  const std::string &s_;
  size_t limit_;
  size_t i_ = 0;

  // The byte at `k`, or 0 past the limit.
  unsigned char At(size_t k) const {
    return k < limit_ ? (unsigned char)s_[k] : 0;
  }

  // Skips blanks, newlines and % comments.
  void SkipLayout() {
    while (i_ < limit_) {
      if (IsLayout(At(i_))) {
        i_++;
      } else if (At(i_) == '%') {
        while (i_ < limit_ && At(i_) != '\n')
          i_++;
      } else {
        return;
      }
    }
  }

  // A token that reports an error at its start.
  Token Bad(Token t, const std::string &why) {
    t.kind = Tok::BAD;
    t.text = why;
    return t;
  }

  // Digits, or 0'c for the code of the character c.
  Token Number(Token t) {
    if (At(i_) == '0' && At(i_ + 1) == '\'') return CharCode(t);
    bool too_big = false;
    uint64_t v = 0;
    while (IsDigit(At(i_))) {
      unsigned d = At(i_++) - '0';
      if (v > (kMinusInt64Min - d) / 10) too_big = true;
      if (!too_big) v = v * 10 + d;
    }
    if (IsNameByte(At(i_))) {
      while (IsNameByte(At(i_)))
        i_++;
      return Bad(t, "a number must not run into letters");
    }
    if (too_big) return Bad(t, "integer too large");
    t.kind = Tok::INT;
    t.magnitude = v;
    return t;
  }

  // 0'c: one character (its bytes packed high byte first), 0''' or 0'' for
  // the quote, 0'\n, 0'\t, 0'\\ for the escapes.
  Token CharCode(Token t) {
    i_ += 2;
    unsigned char c = At(i_);
    if (c == 0 || c == '\n') return Bad(t, "a character is missing after 0'");
    t.kind = Tok::INT;
    if (c == '\'') {
      i_ += At(i_ + 1) == '\'' ? 2 : 1;
      t.magnitude = '\'';
    } else if (c == '\\') {
      int e = Escape(At(i_ + 1));
      i_ += 2;
      if (e < 0) return Bad(t, "unknown escape in 0'");
      t.magnitude = uint64_t(e);
    } else {
      t.magnitude = PackedChar();
    }
    return t;
  }

  // The code of the character at i_ (all its bytes, high byte first).
  uint64_t PackedChar() {
    unsigned char lead = At(i_);
    int n = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    uint64_t code = 0;
    for (int k = 0; k < n && i_ < limit_; k++)
      code = (code << 8) | At(i_++);
    return code;
  }

  // The character an escape letter stands for, or -1.
  static int Escape(unsigned char c) {
    switch (c) {
    case 'n':
      return '\n';
    case 't':
      return '\t';
    case '\\':
      return '\\';
    case '\'':
      return '\'';
    }
    return -1;
  }

  // 'quoted atom', with '' for a quote and backslash escapes.  It must close
  // on its own line, so that a missing quote is reported, not waited on.
  Token Quoted(Token t) {
    std::string name;
    std::string problem;
    for (i_++;; i_++) {
      unsigned char c = At(i_);
      if (i_ >= limit_ || c == '\n') return Bad(t, "quoted atom not closed on its line");
      if (c == '\'' && At(i_ + 1) == '\'') {
        name.push_back('\'');
        i_++;
      } else if (c == '\'') {
        break;
      } else if (c != '\\') {
        name.push_back(char(c));
      } else if (i_ + 1 < limit_ && At(i_ + 1) != '\n') {
        int e = Escape(At(++i_));
        if (e < 0 && problem.empty()) problem = "unknown escape in a quoted atom";
        if (e >= 0) name.push_back(char(e));
      }
    }
    i_++;
    if (!problem.empty()) return Bad(t, problem);
    t.kind = Tok::QNAME;
    t.text = name;
    t.call = At(i_) == '(';
    return t;
  }

  // A name or a variable: name bytes from i_.
  Token Name(Token t, Tok kind) {
    size_t start = i_;
    while (IsNameByte(At(i_)))
      i_++;
    t.kind = kind;
    t.text = s_.substr(start, i_ - start);
    t.call = kind == Tok::NAME && At(i_) == '(';
    return t;
  }

  // Punctuation, the operators, and the full stop that ends the query.
  Token Symbol(Token t) {
    unsigned char c = At(i_++);
    if (c == '.') {
      unsigned char next = i_ < s_.size() ? (unsigned char)s_[i_] : 0;
      if (next == 0 || IsLayout(next) || next == '%') {
        t.kind = Tok::END;
        return t;
      }
      return Bad(t, "unexpected '.' (a query ends with '.' and a blank or end of line)");
    }
    if (c == '/' && At(i_) == '/') {
      i_++;
      t.kind = Tok::PUNCT;
      t.text = "//";
      return t;
    }
    if (c == '/') return Bad(t, "'/' is not supported; use // for integer division");
    if (c == '=') return Bad(t, "'=' is not supported; use X is Expr");
    static const std::string kPunct = "()[],|+-*";
    if (kPunct.find(char(c)) == std::string::npos || c == 0)
      return Bad(t, std::string("unexpected character '") + char(c) + "'");
    t.kind = Tok::PUNCT;
    t.text = std::string(1, char(c));
    return t;
  }
};

// The parser proper: one token of look-ahead, the first error wins.
class Parser {
public:
  Parser(const std::string &text, size_t end, Query *q) : lex_(text, end + 1), q_(q) {}

  // Parses goal, goal, ... . and fills the query; false with `err` set on the
  // first error.
  bool Run(SyntaxError *err) {
    Advance();
    if (tok_.kind == Tok::END) Fail("empty query: type a goal, then '.'");
    while (!failed_) {
      Goal g;
      if (!ParseGoal(&g)) break;
      q_->goals.push_back(std::move(g));
      if (IsPunct(",")) {
        Advance();
      } else {
        if (tok_.kind != Tok::END) Fail("',' or '.' expected after a goal");
        break;
      }
    }
    if (failed_) *err = err_;
    return !failed_;
  }

private:
  Lexer lex_;
  Query *q_;
  Token tok_;
  std::map<std::string, int64_t> var_index_;
  SyntaxError err_;
  bool failed_ = false;
  int depth_ = 0;

  // Reads the next token into tok_.
  void Advance() {
    tok_ = lex_.Next();
  }

  // Records the first error, at the current token; a lexical error of the
  // current token is reported in its own words.  Always false.
  bool Fail(const std::string &what) {
    if (failed_) return false;
    failed_ = true;
    err_.offset = tok_.offset;
    err_.message = tok_.kind == Tok::BAD ? tok_.text : what;
    return false;
  }

  // True when the current token is the punctuation or operator p.
  bool IsPunct(const char *p) const {
    return tok_.kind == Tok::PUNCT && tok_.text == p;
  }

  // True when the current token is the unquoted name n, not followed by '('.
  bool IsName(const char *n) const {
    return tok_.kind == Tok::NAME && !tok_.call && tok_.text == n;
  }

  // Takes the punctuation p, or fails with `message`.
  bool Expect(const char *p, const char *message) {
    if (!IsPunct(p)) return Fail(message);
    Advance();
    return true;
  }

  // Enters one level of brackets or prefix minus; false when too deep.
  bool Enter() {
    if (++depth_ > kMaxNesting) return Fail("nesting too deep");
    return true;
  }

  // A goal: name, name(args...), or Expr is Expr.
  bool ParseGoal(Goal *g) {
    g->offset = tok_.offset;
    if (tok_.kind == Tok::NAME || tok_.kind == Tok::QNAME) {
      g->name = tok_.text;
      bool call = tok_.call;
      Advance();
      return !call || ParseArgs(&g->args);
    }
    if (tok_.kind != Tok::VAR && tok_.kind != Tok::INT && !IsPunct("(") && !IsPunct("-"))
      return Fail("a goal expected");
    Term lhs, rhs;
    if (!ParseExpr(&lhs)) return false;
    if (!IsName("is")) return Fail("'is' expected (only X is Expr starts with a term)");
    Advance();
    if (!ParseExpr(&rhs)) return false;
    g->name = "is";
    g->args.push_back(std::move(lhs));
    g->args.push_back(std::move(rhs));
    return true;
  }

  // ( arg, arg, ... )
  bool ParseArgs(std::vector<Term> *args) {
    Advance(); // the '('
    for (;;) {
      Term t;
      if (!ParseExpr(&t)) return false;
      args->push_back(std::move(t));
      if (IsPunct(")")) break;
      if (!IsPunct(",")) return Fail("',' or ')' expected in the arguments");
      Advance();
    }
    Advance();
    return true;
  }

  // Sums and differences, left to right.
  bool ParseExpr(Term *t) {
    if (!ParseProduct(t)) return false;
    while (IsPunct("+") || IsPunct("-")) {
      std::string op = tok_.text;
      Advance();
      Term right;
      if (!ParseProduct(&right)) return false;
      *t = Binary(op, std::move(*t), std::move(right));
    }
    return true;
  }

  // Products, integer quotients and remainders, left to right.
  bool ParseProduct(Term *t) {
    if (!ParseUnary(t)) return false;
    while (IsPunct("*") || IsPunct("//") || IsName("mod")) {
      std::string op = tok_.text;
      Advance();
      Term right;
      if (!ParseUnary(&right)) return false;
      *t = Binary(op, std::move(*t), std::move(right));
    }
    return true;
  }

  // The operation op(left, right).
  static Term Binary(const std::string &op, Term left, Term right) {
    Term e;
    e.kind = Term::EXPR;
    e.name = op;
    e.args.push_back(std::move(left));
    e.args.push_back(std::move(right));
    return e;
  }

  // Prefix minus: a negative number when a digit follows at once, else -(X).
  bool ParseUnary(Term *t) {
    if (!IsPunct("-")) return ParsePrimary(t);
    size_t minus_at = tok_.offset;
    Advance();
    if (tok_.kind == Tok::INT && tok_.offset == minus_at + 1) return Number(t, true);
    if (!Enter()) return false;
    Term operand;
    if (!ParseUnary(&operand)) return false;
    depth_--;
    t->kind = Term::EXPR;
    t->name = "-";
    t->args.push_back(std::move(operand));
    return true;
  }

  // An integer literal, negated when `negative`; refuses what int64 cannot hold.
  bool Number(Term *t, bool negative) {
    uint64_t m = tok_.magnitude;
    if (m > kMinusInt64Min - (negative ? 0 : 1)) return Fail("integer too large");
    t->kind = Term::INT;
    t->number = negative ? int64_t(0 - m) : int64_t(m);
    Advance();
    return true;
  }

  // An integer, a variable, an atom, a list or a parenthesised expression.
  bool ParsePrimary(Term *t) {
    switch (tok_.kind) {
    case Tok::INT:
      return Number(t, false);
    case Tok::VAR:
      *t = Variable(tok_.text);
      Advance();
      return true;
    case Tok::NAME:
    case Tok::QNAME:
      if (tok_.call)
        return Fail("compound terms other than arithmetic are not supported");
      t->kind = Term::ATOM;
      t->name = tok_.text;
      Advance();
      return true;
    default:
      break;
    }
    if (IsPunct("(")) return Parenthesised(t);
    if (IsPunct("[")) return List(t);
    return Fail("a term expected");
  }

  // ( Expr ), one nesting level deeper.
  bool Parenthesised(Term *t) {
    if (!Enter()) return false;
    Advance();
    if (!ParseExpr(t)) return false;
    depth_--;
    return Expect(")", "')' expected");
  }

  // [] or [E1, E2, ... | Tail]; the cells are nested from the end, so a long
  // list costs no recursion here.
  bool List(Term *t) {
    if (!Enter()) return false;
    Advance();
    std::vector<Term> items;
    Term tail;
    tail.kind = Term::ATOM;
    tail.name = "[]";
    if (!IsPunct("]") && !ListItems(&items, &tail)) return false;
    if (!Expect("]", "',', '|' or ']' expected in a list")) return false;
    depth_--;
    for (size_t k = items.size(); k-- > 0;) {
      Term cons;
      cons.kind = Term::CONS;
      cons.args.push_back(std::move(items[k]));
      cons.args.push_back(std::move(tail));
      tail = std::move(cons);
    }
    *t = std::move(tail);
    return true;
  }

  // The elements of a non-empty list and, after '|', its tail; leaves the
  // closing ']' to the caller.
  bool ListItems(std::vector<Term> *items, Term *tail) {
    for (;;) {
      Term item;
      if (!ParseExpr(&item)) return false;
      items->push_back(std::move(item));
      if (IsPunct("|")) {
        Advance();
        return ParseExpr(tail);
      }
      if (!IsPunct(",")) return true;
      Advance();
    }
  }

  // The variable of this name (each "_" is a new one).
  Term Variable(const std::string &name) {
    Term v;
    v.kind = Term::VAR;
    auto it = var_index_.find(name);
    if (name != "_" && it != var_index_.end()) {
      v.number = it->second;
      return v;
    }
    v.number = int64_t(q_->vars.size());
    q_->vars.push_back(name);
    if (name != "_") var_index_[name] = v.number;
    return v;
  }
};

} // namespace

// Lexes the whole text: the first full stop outside quotes and comments ends
// the query.
size_t FindQueryEnd(const std::string &text) {
  Lexer lex(text, text.size());
  for (;;) {
    Token t = lex.Next();
    if (t.kind == Tok::END) return t.offset;
    if (t.kind == Tok::EOT) return std::string::npos;
  }
}

// A fresh query from text[0 .. end]; false with the first error.
bool ParseQuery(const std::string &text, size_t end, Query *q, SyntaxError *err) {
  *q = Query();
  if (end >= text.size()) {
    err->message = "no final '.'";
    err->offset = text.size();
    return false;
  }
  Parser p(text, end, q);
  return p.Run(err);
}

// Counts lines and characters (not bytes) up to the offset.
std::string Where(const std::string &text, size_t offset) {
  size_t line = 1, column = 1;
  for (size_t k = 0; k < offset && k < text.size();) {
    if (text[k] == '\n') {
      line++;
      column = 1;
      k++;
      continue;
    }
    int width;
    int n = Stream_isn_mbchar((unsigned char *)&text[k], int(k), &width);
    column++;
    k += n < 1 ? 1 : size_t(n); // a character counts once, whatever its bytes
  }
  return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

} // namespace qxtop
