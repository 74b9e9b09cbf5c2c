# Sourced: readme_block README HEADING [N] prints the Nth fenced code block
# (default the first) of README's section HEADING (the text of a `#`
# heading line), without its fences; nothing if there is none. Texts made
# from README.md and the tests that run its snippets take them from here,
# so that what runs is what the README shows.
readme_block() {
  awk -v heading="$2" -v want="${3:-1}" '
    /^```/ { if (fenced && inside && ++n == want) exit; fenced = !fenced; next }
    fenced { if (inside && n + 1 == want) print; next }
    /^#+ / { sub(/^#+ /, ""); inside = ($0 == heading) }
  ' "$1"
}
