#!/usr/bin/env bash
# Lays out a hotfix package by hand: the install package with its settings file, the
# manifests, plug-in customization, keystore and extras beside it, and the update site with
# the feature files. Prints the install package's path.
#   make-package.sh <directory> <hotfix version> <feature id>...
# The feature files here are stand-ins; a real package carries the built features.
set -eu
top=$1/Hotfix.mpkg
version=$2
shift 2
[ $# -gt 0 ] || { echo "usage: $0 <directory> <hotfix version> <feature id>..." >&2; exit 2; }

package=$top/Contents/Packages/hotfix.pkg   # what patchapply is given
deploy=$top/Contents/Packages/deploy         # ${package}/../deploy
site=$top/Contents/updates/platform          # ${package}/../../updates/platform
mkdir -p "$package/Contents/Resources" "$deploy/extras" "$site/features"

# The settings file. Only bundleName, frameworkPath and version are needed; the path keys
# are written out here with the values they default to.
cat >"$package/Contents/Resources/hotfix.plist" <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>bundleName</key>
	<string>Orrery</string>
	<key>frameworkPath</key>
	<string>Contents/MacOS</string>
	<key>allowMultiInstance</key>
	<false/>
	<key>version</key>
	<string>$version</string>
	<key>pathToHotfixManifest</key>
	<string>\${package}/../deploy/install.hotfix.xml</string>
	<key>pathToPatchRemoveManifest</key>
	<string>\${package}/../deploy/uninstall.hotfix.xml</string>
	<key>pathToPluginCustomization</key>
	<string>\${package}/../deploy/plugin_customization.ini</string>
	<key>updateSiteList</key>
	<string>\${package}/../../updates/platform</string>
</dict>
</plist>
PLIST

# The install manifest names each feature's file through \${installer.root}, which the
# install replaces by file: and the install package's path; the removal manifest removes
# the same install feature and features.
manifest() { # action ("" or uninstall)
  local action=${1:+ action=\"$1\"}
  echo '<?xml version="1.0" encoding="UTF-8"?>'
  echo '<manifest>'
  echo '  <domain-object name="rcp">'
  echo '    <object-data>'
  echo '    <install>'
  echo "      <installfeature id=\"com.zantec.orrery.hotfix\" version=\"$version\"$action>"
  echo '        <requirements>'
  for id in "${features[@]}"; do
    if [ -n "$action" ]; then
      echo "          <feature id=\"$id\" version=\"$version\"$action/>"
    else
      echo "          <feature id=\"$id\" version=\"$version\"" \
        "url=\"\${installer.root}/../../updates/platform/features/${id}_$version.jar\"/>"
    fi
  done
  echo '        </requirements>'
  echo '      </installfeature>'
  echo '    </install>'
  echo '    </object-data>'
  echo '  </domain-object>'
  echo '</manifest>'
}
features=("$@")
manifest >"$deploy/install.hotfix.xml"
manifest uninstall >"$deploy/uninstall.hotfix.xml"
for id in "${features[@]}"; do
  echo "feature $id $version" >"$site/features/${id}_$version.jar"
done

# Preferences merged into the product's plugin_customization.ini (a key here wins), the
# keystore set that replaces the product's, and extra files merged into deploy/extras.
printf 'com.zantec.orrery/level=hotfix %s\n' "$version" >"$deploy/plugin_customization.ini"
printf 'keystore of hotfix %s\n' "$version" >"$deploy/.keystore"
printf 'Release notes of hotfix %s\n' "$version" >"$deploy/extras/notes.txt"

echo "$package"
