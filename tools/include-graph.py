#!/usr/bin/env python3
# Folder-level include graph of src/: one line per folder with the folders
# it includes from, then the pairs that include each other.
#   tools/include-graph.py [src]
import os,re,sys,itertools
root=sys.argv[1] if len(sys.argv)>1 else 'src'
edges={}
for d,_,fs in os.walk(root):
    for f in fs:
        if not f.endswith(('.h','.cpp')): continue
        p=os.path.join(d,f); src=os.path.relpath(p,root).split(os.sep)[0]
        for line in open(p,encoding='utf-8',errors='replace'):
            m=re.match(r'\s*#\s*include\s+"([^"]+)"',line)
            if not m: continue
            inc=m.group(1)
            if '/' in inc: dst=inc.split('/')[0]
            else: dst=src
            if dst.startswith('ui_'): dst='ui'
            if dst!=src and os.path.isdir(os.path.join(root,dst)):
                edges.setdefault(src,set()).add(dst)
for s in sorted(edges): print(s,'->',' '.join(sorted(edges[s])))
pairs=[(a,b) for a in edges for b in edges[a] if a<b and a in edges.get(b,())]
print('mutual:',' '.join(f'{a}<->{b}' for a,b in pairs) or 'none')
