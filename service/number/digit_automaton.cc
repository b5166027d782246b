// SPDX-License-Identifier: Apache-2.0
#include "number/digit_automaton.h"

#include <algorithm>
#include <map>
#include <memory>
#include <stdexcept>

namespace zuno::service {
namespace {

constexpr std::uint16_t kAllDigits = 0x3FF;
constexpr int kUnbounded = -1;

// A pattern read into a tree: a set of digits, a sequence, alternatives or a repetition.
struct Node {
    enum class Kind { Digits, Sequence, Alternatives, Repeat } kind = Kind::Digits;
    std::uint16_t digits = 0;
    int least = 1;
    int most = 1;
    std::vector<std::unique_ptr<Node>> parts;
};

std::unique_ptr<Node> newNode(Node::Kind kind)
{
    auto node = std::make_unique<Node>();
    node->kind = kind;
    return node;
}

class Parser
{
public:
    explicit Parser(std::string_view pattern) : pattern_(pattern) {}

    std::unique_ptr<Node> whole()
    {
        auto node = alternatives();
        if (at_ != pattern_.size())
            fail("unexpected character");
        return node;
    }

private:
    [[noreturn]] void fail(const char *why) const
    {
        throw std::runtime_error("number pattern, at " + std::to_string(at_) + ": " + why + ": " +
                                 std::string(pattern_));
    }
    bool take(char c)
    {
        if (at_ < pattern_.size() && pattern_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }
    int number()
    {
        int value = 0;
        const size_t start = at_;
        while (at_ < pattern_.size() && pattern_[at_] >= '0' && pattern_[at_] <= '9')
            value = value * 10 + (pattern_[at_++] - '0');
        if (at_ == start || value > 32)
            fail("bad repetition count");
        return value;
    }

    std::unique_ptr<Node> alternatives()
    {
        auto node = newNode(Node::Kind::Alternatives);
        node->parts.push_back(sequence());
        while (take('|'))
            node->parts.push_back(sequence());
        return node;
    }
    std::unique_ptr<Node> sequence()
    {
        auto node = newNode(Node::Kind::Sequence);
        while (at_ < pattern_.size() && pattern_[at_] != '|' && pattern_[at_] != ')')
            node->parts.push_back(repeated(atom()));
        return node;
    }
    std::unique_ptr<Node> repeated(std::unique_ptr<Node> atom)
    {
        int least = 1;
        int most = 1;
        if (take('?')) {
            least = 0;
        } else if (take('*')) {
            least = 0;
            most = kUnbounded;
        } else if (take('+')) {
            most = kUnbounded;
        } else if (take('{')) {
            least = most = number();
            if (take(','))
                most = at_ < pattern_.size() && pattern_[at_] == '}' ? kUnbounded : number();
            if (!take('}') || (most != kUnbounded && most < least))
                fail("bad repetition");
        } else {
            return atom;
        }
        auto node = newNode(Node::Kind::Repeat);
        node->least = least;
        node->most = most;
        node->parts.push_back(std::move(atom));
        return node;
    }
    std::unique_ptr<Node> atom()
    {
        if (take('(')) {
            if (take('?') && !take(':'))
                fail("only (?: groups");
            auto inner = alternatives();
            if (!take(')'))
                fail("unclosed group");
            return inner;
        }
        auto node = newNode(Node::Kind::Digits);
        if (take('\\')) {
            if (!take('d'))
                fail("only \\d escapes");
            node->digits = kAllDigits;
        } else if (take('[')) {
            while (!take(']')) {
                const int low = digit();
                const int high = take('-') ? digit() : low;
                for (int d = low; d <= high; ++d)
                    node->digits |= static_cast<std::uint16_t>(1u << d);
            }
        } else {
            node->digits = static_cast<std::uint16_t>(1u << digit());
        }
        return node;
    }
    int digit()
    {
        if (at_ >= pattern_.size() || pattern_[at_] < '0' || pattern_[at_] > '9')
            fail("expected a digit");
        return pattern_[at_++] - '0';
    }

    std::string_view pattern_;
    size_t at_ = 0;
};

// Thompson's construction: states with empty moves and at most one move on a set of digits.
struct Nfa {
    struct State {
        std::vector<int> empty;
        std::uint16_t digits = 0;
        int target = -1;
        std::uint16_t accepts = 0;
    };
    std::vector<State> states;

    int add()
    {
        states.emplace_back();
        return static_cast<int>(states.size()) - 1;
    }
    // The fragment for node from a new start state; returns its end state.
    int build(const Node &node, int start)
    {
        switch (node.kind) {
        case Node::Kind::Digits: {
            const int end = add();
            states[start].digits = node.digits;
            states[start].target = end;
            return end;
        }
        case Node::Kind::Sequence: {
            int at = start;
            for (const auto &part : node.parts)
                at = build(*part, at);
            return at;
        }
        case Node::Kind::Alternatives: {
            const int end = add();
            for (const auto &part : node.parts) {
                const int begin = add();
                states[start].empty.push_back(begin);
                states[build(*part, begin)].empty.push_back(end);
            }
            return end;
        }
        case Node::Kind::Repeat: {
            int at = start;
            for (int i = 0; i < node.least; ++i)
                at = build(*node.parts.front(), at);
            if (node.most == kUnbounded) {
                const int loop = add();
                states[at].empty.push_back(loop);
                const int end = add();
                states[loop].empty.push_back(end);
                states[build(*node.parts.front(), loop)].empty.push_back(loop);
                return end;
            }
            const int end = add();
            for (int i = node.least; i < node.most; ++i) {
                states[at].empty.push_back(end);
                at = build(*node.parts.front(), at);
            }
            states[at].empty.push_back(end);
            return end;
        }
        }
        return start;
    }

    void close(std::vector<int> &set) const
    {
        std::vector<int> pending = set;
        std::vector<bool> seen(states.size());
        for (const int s : set)
            seen[static_cast<size_t>(s)] = true;
        while (!pending.empty()) {
            const int s = pending.back();
            pending.pop_back();
            for (const int t : states[static_cast<size_t>(s)].empty)
                if (!seen[static_cast<size_t>(t)]) {
                    seen[static_cast<size_t>(t)] = true;
                    set.push_back(t);
                    pending.push_back(t);
                }
        }
        std::sort(set.begin(), set.end());
    }
};

}  // namespace

DigitAutomaton::DigitAutomaton(const std::vector<std::string> &patterns)
{
    if (patterns.size() > 16)
        throw std::runtime_error("DigitAutomaton: more than 16 patterns");
    Nfa nfa;
    const int start = nfa.add();
    for (size_t i = 0; i < patterns.size(); ++i) {
        if (patterns[i].empty())
            continue;
        const std::unique_ptr<Node> tree = Parser(patterns[i]).whole();
        const int begin = nfa.add();
        nfa.states[static_cast<size_t>(start)].empty.push_back(begin);
        const int end = nfa.build(*tree, begin);
        nfa.states[static_cast<size_t>(end)].accepts |= static_cast<std::uint16_t>(1u << i);
    }

    // Subset construction, each set of NFA states a state, the empty set the dead state 0.
    std::map<std::vector<int>, std::uint32_t> ids;
    std::vector<std::vector<int>> sets;
    const auto idOf = [&](std::vector<int> set) {
        const auto [at, added] = ids.try_emplace(set, static_cast<std::uint32_t>(sets.size()));
        if (added) {
            std::uint16_t accepts = 0;
            for (const int s : set)
                accepts |= nfa.states[static_cast<size_t>(s)].accepts;
            accepts_.push_back(accepts);
            next_.emplace_back();
            sets.push_back(std::move(set));
        }
        return at->second;
    };
    idOf({});
    std::vector<int> first{start};
    nfa.close(first);
    idOf(std::move(first));
    for (std::uint32_t id = 0; id < sets.size(); ++id) {
        for (unsigned digit = 0; digit < 10; ++digit) {
            std::vector<int> moved;
            for (const int s : sets[id]) {
                const Nfa::State &state = nfa.states[static_cast<size_t>(s)];
                if (state.digits & (1u << digit))
                    moved.push_back(state.target);
            }
            nfa.close(moved);
            moved.erase(std::unique(moved.begin(), moved.end()), moved.end());
            const std::uint32_t to = idOf(std::move(moved));
            next_[id][digit] = to;
        }
    }
}

}  // namespace zuno::service
