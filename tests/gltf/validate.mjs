// Runs the Khronos glTF validator on each file named and prints its report;
// exits 1 when any file has an error or a warning.
//
//   node validate.mjs NODE_PREFIX FILE...   (NODE_PREFIX: see tests/node/install.sh)
import fs from 'fs';
import { createRequire } from 'module';
import path from 'path';

const [prefix, ...files] = process.argv.slice(2);
const validator = createRequire(path.join(prefix, 'package.json'))('gltf-validator');

let failed = false;
for (const file of files) {
    const report = await validator.validateBytes(new Uint8Array(fs.readFileSync(file)), {
        uri: path.basename(file),
        maxIssues: 100,
    });
    const {numErrors, numWarnings, messages} = report.issues;
    console.log(`${file}: ${numErrors} errors, ${numWarnings} warnings`);
    for (const m of messages.filter((m) => m.severity <= 1))
        console.log(`  ${m.code} at ${m.pointer}: ${m.message}`);
    failed ||= numErrors + numWarnings > 0;
}
process.exit(failed ? 1 : 0);
