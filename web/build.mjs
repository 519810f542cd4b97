// node web/build.mjs --outdir DIR
// Bundles the page into DIR/index.html, DIR/app.js and DIR/app.css with
// esbuild from web/node_modules; needs no network.
import { createRequire } from 'node:module';
import { copyFileSync, mkdirSync } from 'node:fs';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';

const here = dirname(fileURLToPath(import.meta.url));
const require = createRequire(join(here, 'package.json'));

function usage(msg) {
  if (msg) console.error(`build.mjs: ${msg}`);
  console.error('usage: node build.mjs --outdir DIR');
  process.exit(2);
}

let outdir = null;
const args = process.argv.slice(2);
for (let i = 0; i < args.length; i += 1) {
  const a = args[i];
  if (a === '--outdir') outdir = args[++i];
  else if (a.startsWith('--outdir=')) outdir = a.slice('--outdir='.length);
  else usage(`unknown argument ${a}`);
}
if (!outdir) usage('--outdir is required');
outdir = resolve(process.cwd(), outdir);

let esbuild;
try {
  esbuild = require('esbuild');
} catch {
  console.error(`build.mjs: esbuild not found in ${join(here, 'node_modules')} (run npm ci in ${here})`);
  process.exit(2);
}

mkdirSync(outdir, { recursive: true });

const common = {
  absWorkingDir: here,
  nodePaths: [join(here, 'node_modules')],
  bundle: true,
  minify: true,
  target: 'es2020',
  legalComments: 'eof',
  logLevel: 'warning',
  write: true,
  sourcemap: false,
};

try {
  await esbuild.build({
    ...common,
    entryPoints: [join(here, 'src', 'main.js')],
    outfile: join(outdir, 'app.js'),
    format: 'esm',
    platform: 'browser',
  });
  await esbuild.build({
    ...common,
    entryPoints: [join(here, 'src', 'style.css')],
    outfile: join(outdir, 'app.css'),
  });
} catch (e) {
  console.error(`build.mjs: ${e.message}`);
  process.exit(1);
}
copyFileSync(join(here, 'index.html'), join(outdir, 'index.html'));
