<?xml version="1.0" encoding="UTF-8"?>
<tileset version="1.8" tiledversion="1.8.2" name="cells" tilewidth="16" tileheight="16" tilecount="11" columns="11">
 <image source="cells.png" width="176" height="16"/>
 <tile id="0">
  <properties>
   <property name="walkable" type="bool" value="true"/>
  </properties>
 </tile>
 <tile id="1">
  <properties>
   <property name="walkable" type="bool" value="false"/>
  </properties>
 </tile>
 <tile id="2">
  <properties>
   <property name="atWater" type="bool" value="true"/>
   <property name="walkable" type="bool" value="true"/>
  </properties>
 </tile>
 <tile id="3">
  <properties>
   <property name="lift" type="float" value="3"/>
  </properties>
 </tile>
 <tile id="4">
  <properties>
   <property name="lift" type="float" value="14"/>
  </properties>
 </tile>
 <tile id="5">
  <properties>
   <property name="lift" type="float" value="-2"/>
  </properties>
 </tile>
 <tile id="6">
  <properties>
   <property name="lift" type="float" value="-4"/>
  </properties>
 </tile>
 <tile id="7">
  <properties>
   <property name="lift" type="float" value="-6"/>
  </properties>
 </tile>
 <tile id="8">
  <properties>
   <property name="lift" type="float" value="-8"/>
  </properties>
 </tile>
 <tile id="9">
  <properties>
   <property name="lift" type="float" value="-10"/>
  </properties>
 </tile>
 <tile id="10">
  <properties>
   <property name="lift" type="float" value="-12"/>
  </properties>
 </tile>
</tileset>
