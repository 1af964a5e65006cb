#include "smcctl/documents.h"

#include <set>

#include "protocol/vornik_fan_control_protocol.h"
#include "smcctl/request.h"
#include "smcctl/usage.h"

namespace smcd::smcctl {
namespace {

// Text as roff shows it literally: no escapes, no requests, real minus signs.
std::string roff(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c == '\\') {
            out += "\\e";
        } else if (c == '-') {
            out += "\\-";
        } else {
            if ((c == '.' || c == '\'') && (out.empty() || out.back() == '\n')) out += "\\&";
            out += c;
        }
    }
    return out;
}

void section(std::string& page, std::string_view title, std::span<const HelpEntry> entries) {
    page.append(".SH ").append(title).append("\n");
    for (const auto& [term, text] : entries) page += ".TP\n.B " + roff(term) + "\n" + roff(text) + "\n";
}

std::string joined(const auto& words, std::string_view separator) {
    std::string text;
    for (const auto& word : words) {
        if (!text.empty()) text += separator;
        text += word;
    }
    return text;
}

}  // namespace

std::string manPage(std::string_view version, std::string_view defaultSocket, std::span<const std::string> taskIds) {
    std::string page = ".TH SMCCTL 1 \"\" \"smcd " + roff(version) + "\" \"User Commands\"\n";
    page += ".SH NAME\nsmcctl \\- command\\-line client of smcd\n";
    page += ".SH SYNOPSIS\n" + roff(kSynopsis) + "\n";
    page += ".SH DESCRIPTION\n" + roff(kDescription) + "\n";
    section(page, "COMMANDS", commandHelp());
    page += ".SH FAMILIES\nThe families of \\fBremove\\fR: " + roff(familyList()) + ".\n";
    page += ".SH MAINTENANCE TASKS\nThe ids \\fBmaintenance\\fR takes: " + roff(joined(taskIds, ", ")) + ".\n";
    section(page, "OPTIONS", optionHelp());
    section(page, "EXIT STATUS", exitStatusHelp());
    page += ".SH FILES\n.TP\n.B " + roff(defaultSocket) + "\nthe daemon's socket\n";
    return page;
}

std::string bashCompletion(std::span<const std::string> taskIds) {
    std::set<std::string> commands;
    for (const auto& entry : commandHelp()) commands.insert(std::string(entry.term.substr(0, entry.term.find(' '))));
    std::set<std::string> options;
    for (const auto& entry : optionHelp()) {
        for (std::string_view rest = entry.term; !rest.empty();) {
            const auto word = rest.substr(0, rest.find_first_of(" ,"));
            if (word.starts_with("-")) options.insert(std::string(word));
            rest.remove_prefix(std::min(rest.size(), word.size() + 1));
            while (!rest.empty() && (rest[0] == ' ' || rest[0] == ',')) rest.remove_prefix(1);
        }
    }
    std::set<std::string> families;
    for (const auto& family : removalFamilies()) families.insert(std::string(family.name));
    std::set<std::string> selectors;
    for (const auto& method : protocol::vornikFanControlInterface().methods()) selectors.insert(std::string(method.selector));

    return "# bash completion for smcctl, generated from its own declarations.\n"
           "_smcctl() {\n"
           "    local cur prev words cword\n"
           "    # Selectors hold colons, which bash alone splits words at.\n"
           "    if declare -F _get_comp_words_by_ref >/dev/null; then\n"
           "        _get_comp_words_by_ref -n : cur prev words cword\n"
           "    else\n"
           "        cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} words=(\"${COMP_WORDS[@]}\") cword=$COMP_CWORD\n"
           "    fi\n"
           "    local commands='" + joined(commands, " ") + "'\n"
           "    local options='" + joined(options, " ") + "'\n"
           "    local families='" + joined(families, " ") + "'\n"
           "    local tasks='" + joined(taskIds, " ") + "'\n"
           "    local selectors='" + joined(selectors, " ") + "'\n"
           "    if [[ $prev == --socket ]]; then COMPREPLY=($(compgen -f -- \"$cur\")); return; fi\n"
           "    if [[ $cur == -* ]]; then COMPREPLY=($(compgen -W \"$options\" -- \"$cur\")); return; fi\n"
           "    # The command is the first word that is neither an option nor its value.\n"
           "    local i command='' position=0\n"
           "    for ((i = 1; i < cword; i++)); do\n"
           "        case ${words[i]} in\n"
           "            --socket) ((i++)) ;;\n"
           "            -*) ;;\n"
           "            *) if [[ -z $command ]]; then command=${words[i]}; else ((position++)); fi ;;\n"
           "        esac\n"
           "    done\n"
           "    local candidates=''\n"
           "    case $command in\n"
           "        '') candidates=$commands ;;\n"
           "        maintenance) candidates=$tasks ;;\n"
           "        call) ((position == 0)) && candidates=$selectors ;;\n"
           "        set-fan) ((position == 1)) && candidates='manual auto' ;;\n"
           "        launchd) ((position == 0)) && candidates='enable disable' ;;\n"
           "        remove) if ((position == 0)); then candidates=$families; else COMPREPLY=($(compgen -f -- \"$cur\")); return; fi ;;\n"
           "        measure) COMPREPLY=($(compgen -f -- \"$cur\")); return ;;\n"
           "    esac\n"
           "    COMPREPLY=($(compgen -W \"$candidates\" -- \"$cur\"))\n"
           "    if declare -F __ltrim_colon_completions >/dev/null; then __ltrim_colon_completions \"$cur\"; fi\n"
           "}\n"
           "complete -F _smcctl smcctl\n";
}

}  // namespace smcd::smcctl
