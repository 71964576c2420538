#!/usr/bin/env bash
# The documents stay true to each other: every relative link and #anchor in
# README.md and docs/*.md reaches a file and a heading (anchors made as GitHub
# makes them: lower case, spaces to '-', other punctuation dropped, a repeat
# numbered), and every option auth_plugin_check --help lists has its row in
# docs/configuration.md, the reference the README sends readers to.
#   docs_links.sh SOURCE_DIR AUTH_PLUGIN_CHECK
set -euo pipefail
cd "${1:?usage: docs_links.sh SOURCE_DIR AUTH_PLUGIN_CHECK}"
tool=${2:?usage: docs_links.sh SOURCE_DIR AUTH_PLUGIN_CHECK}

options=$("$tool" --help | grep -o '\bhttp_[a-z0-9_]*' | sort -u)
[ -n "$options" ] || { echo "no option found in $tool --help"; exit 1; }

python3 - "$options" README.md docs/*.md <<'EOF'
import os, re, sys

options, files = sys.argv[1].split(), sys.argv[2:]

def prose(text):
    """The text outside fenced blocks and code spans, where links live."""
    text = re.sub(r'^```.*?^```[^\n]*$', '', text, flags=re.M | re.S)
    return re.sub(r'`[^`\n]*`', '', text)

def anchors(path):
    made, seen = set(), {}
    fenced = False
    for line in open(path, encoding='utf-8'):
        if line.startswith('```'):
            fenced = not fenced
        if fenced or not re.match(r'#{1,6} ', line):
            continue
        slug = re.sub(r'[^\w\- ]', '', line.lstrip('#').strip().lower()).replace(' ', '-')
        n = seen.get(slug, 0)
        seen[slug] = n + 1
        made.add(slug if n == 0 else '%s-%d' % (slug, n))
    return made

failed = False
for doc in files:
    for target in re.findall(r'\]\(([^)\s]+)(?:\s+"[^"]*")?\)', prose(open(doc, encoding='utf-8').read())):
        if re.match(r'[a-z][a-z0-9+.-]*:', target):
            continue  # http:, https:, mailto: are not ours to check
        path, _, anchor = target.partition('#')
        resolved = os.path.normpath(os.path.join(os.path.dirname(doc), path)) if path else doc
        if not os.path.exists(resolved):
            print('%s: link to %s: no file %s' % (doc, target, resolved))
            failed = True
        elif anchor and (not resolved.endswith('.md') or anchor not in anchors(resolved)):
            print('%s: link to %s: no heading #%s in %s' % (doc, target, anchor, resolved))
            failed = True

reference = open('docs/configuration.md', encoding='utf-8').read()
for name in options:
    if not re.search(r'^\| [^|]*`%s`' % re.escape(name), reference, flags=re.M):
        print('docs/configuration.md: no row for option %s' % name)
        failed = True
sys.exit(1 if failed else 0)
EOF
