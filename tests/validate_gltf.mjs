// node validate_gltf.mjs FILE.glb
// Runs the Khronos glTF validator (npm "gltf-validator") on one file and
// prints "errors E warnings W infos I hints H", then the error messages.
// Exit status: 0 validated (whatever the count), 2 the validator failed,
// 3 the package was not found. The package is looked up in the directory
// or package path given by SF_GLTF_VALIDATOR, then beside this script and
// its parent directories (node_modules).
import { createRequire } from 'node:module';
import { readFileSync } from 'node:fs';

const require = createRequire(import.meta.url);

function load() {
    const given = process.env.SF_GLTF_VALIDATOR;
    const tries = [];
    if (given) tries.push(() => require(given), () => require(require.resolve('gltf-validator', { paths: [given] })));
    tries.push(() => require('gltf-validator'));
    for (const t of tries) {
        try { return t(); } catch (e) { /* next */ }
    }
    return null;
}

const gv = load();
if (!gv) {
    console.error('gltf-validator not found');
    process.exit(3);
}
try {
    const r = await gv.validateBytes(new Uint8Array(readFileSync(process.argv[2])), { maxIssues: 1000 });
    const i = r.issues;
    console.log(`errors ${i.numErrors} warnings ${i.numWarnings} infos ${i.numInfos} hints ${i.numHints}`);
    for (const m of i.messages) if (m.severity === 0) console.log(`${m.code} ${m.pointer ?? ''} ${m.message}`);
    process.exit(0);
} catch (e) {
    console.error(String(e));
    process.exit(2);
}
